// velmtape's data path: a file streamed to and from the tape one bounded chunk at a time
// through the class driver's READ and WRITE, so a whole cartridge moves in the memory of one
// chunk, with progress on a terminal and every failure of the file's side said in the
// system's words.
#include "tools/transfer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>

#include "tools/data_file.h"
#include "tools/file_count.h"
#include "tools/output_file.h"
#include "tools/own_files.h"
#include "tools/progress.h"
#include "tools/read_end.h"
#include "tools/report.h"

namespace tools {
namespace {

constexpr size_t kChunkBytes = size_t{1} << 20;  // file bytes moved at a time
constexpr size_t kVariableBlockBytes = 65536;    // blocks that `write` makes by default
// Room for one variable block at first: four times the blocks `write` makes, so that a drive
// that miscounts a short block's residual (tgt counts the block's length as not moved) still
// delivers the whole block.
constexpr size_t kVariableReadBytes = 4 * kVariableBlockBytes;
constexpr size_t kLargestBlockBytes = 0xFFFFFF;  // the longest block READ(6) can ask for

// A failure on the file's side: the tool's own, exit status 1, about the file and not the
// cartridge.
void FileFailure(CommandResult& out, const std::string& subject, const std::string& what)
{
    out.failure = Failure{what, std::nullopt, {}};
    out.failedFile = subject;
}

// Sends one chunk as blocks (variable ones of `record` bytes); false (and the failure recorded)
// when the drive stopped.
bool SendChunk(Session& session, uint8_t* data, size_t length, uint32_t blockSize, size_t record,
               uint64_t& onTape, uint64_t& blocks, CommandResult& out)
{
    const size_t step = blockSize == 0 ? record : length;
    for (size_t offset = 0; offset < length; offset += step) {
        const size_t n = std::min(step, length - offset);
        const host::TransferResult result = session.Write(data + offset, n, blockSize);
        onTape += result.bytes;
        blocks += blockSize == 0 ? (result.bytes == n ? 1 : 0) : result.bytes / blockSize;
        if (result.status != TAPE_STATUS_SUCCESS) {
            // A full tape is said with what it took, so the user knows where to go on from.
            out.failure =
                Failure{TapeFull(result.status)
                            ? "the tape is full: " + std::to_string(onTape) + " bytes written"
                            : "write failed after " + std::to_string(onTape) + " bytes",
                        result.status,
                        {}};
            return false;
        }
    }
    return true;
}

// The block size of a transfer: the user's, else the drive's. A drive that does not report
// its media parameters (tgt refuses the capacity log page they include) leaves the choice to
// the user, said plainly instead of as the driver's refusal.
bool TransferBlockSize(Session& session, std::optional<uint32_t> given, uint32_t& size,
                       CommandResult& out)
{
    if (given) {
        size = *given;
        // The drive counts a fixed transfer in its own blocks, and one that does not use the
        // given length may take or give something else than the file's bytes (tgt, its length
        // 0, answers a fixed READ with a whole transfer of zeros, forever).
        const std::optional<uint32_t> drive = size == 0 ? std::nullopt : session.BlockLength();
        if (drive && *drive != size) {
            out.failure = Failure{
                "the drive's block size is " +
                    (*drive == 0 ? std::string("variable") : std::to_string(*drive) + " bytes") +
                    ", not " + std::to_string(size) + " bytes",
                std::nullopt,
                "give --block-size " + std::to_string(*drive) +
                    (*drive == 0 ? " (variable-length blocks)" : "") + ", or 'setblk " +
                    std::to_string(size) + "' to set the drive to " + std::to_string(size) +
                    "-byte blocks"};
            return false;
        }
        return true;
    }
    TAPE_GET_MEDIA_PARAMETERS media{};
    const TAPE_STATUS status = session.Run(host::Request::GetMediaParameters, &media);
    if (status == TAPE_STATUS_SUCCESS) {
        size = media.BlockSize;
        return true;
    }
    if (status == TAPE_STATUS_INVALID_DEVICE_REQUEST || status == TAPE_STATUS_NOT_IMPLEMENTED) {
        out.failure = Failure{"the drive does not report its block size", status,
                              "give it with --block-size N (0: variable-length blocks)"};
    } else {
        out.failure = Failure{{}, status, {}};
    }
    return false;
}

// After a fixed-block read met a block of another length, the drive has passed over it and
// its sense counts blocks, not bytes. Back over the block and read it as a variable block of
// one byte: the residue of that read is the block's length, and the tape again stands after
// it. Nothing when the drive does not say.
std::optional<int64_t> MeasurePassedBlock(Session& session)
{
    TAPE_SET_POSITION back{};
    back.Method = TAPE_SPACE_RELATIVE_BLOCKS;
    back.Offset.QuadPart = -1;
    if (session.Run(host::Request::SetPosition, &back) != TAPE_STATUS_SUCCESS) {
        return std::nullopt;
    }
    uint8_t head = 0;
    const host::TransferResult probe = session.Read(&head, 1, 0);
    if (probe.status == TAPE_STATUS_SUCCESS) {
        return static_cast<int64_t>(probe.bytes);
    }
    const SenseFacts& sense = session.lastSense();
    if (probe.status == TAPE_STATUS_INVALID_BLOCK_LENGTH && sense.information) {
        return int64_t{1} - *sense.information;  // residue: asked for minus the block's length
    }
    return std::nullopt;
}

// A fixed-block read stopped by a block of another length: the read fails, saying how long
// the block is and how to read it.
void FailPassedBlock(Session& session, uint64_t bytes, uint32_t blockSize, TAPE_STATUS status,
                     CommandResult& out)
{
    const std::optional<int64_t> length = MeasurePassedBlock(session);
    const std::string what =
        ReadFailedAfter(bytes) + ": the next block is " +
        (length ? std::to_string(*length) + " bytes long" : "of another length") + ", not " +
        std::to_string(blockSize) + " bytes; the tape has moved past it";
    if (length) {
        out.result["blockLength"] = *length;
    }
    out.failure = Failure{what, status,
                          "to read it, go back over it with 'bsr' and read variable-length "
                          "blocks: 'setblk 0' (or read --block-size 0)"};
}

// A block the drive cannot read (MEDIUM ERROR): which one, in tape files and blocks as
// counted and by the drive's address, and how to go on past it.
Failure DamagedBlock(const Session& session, uint64_t bytes, const SenseFacts& sense)
{
    const store::FilePosition& at = session.counted();
    std::string which = "the next block";
    if (at.file >= 0 && at.block >= 0) {
        which = "block " + std::to_string(at.block) + " of tape file " + std::to_string(at.file);
    }
    if (sense.information) {
        which += " (address " + std::to_string(*sense.information) + ")";
    }
    return Failure{ReadFailedAfter(bytes) + ": " + which +
                       " is damaged: its bytes do not match their checksum",
                   TAPE_STATUS_DEVICE_DATA_ERROR,
                   "the tape stands before it; 'fsr' passes over it, and what follows reads as "
                   "usual"};
}

// How far a write got.
struct Sent {
    uint64_t bytes = 0;   // read from the file
    uint64_t onTape = 0;  // taken by the drive, padding included
    uint64_t blocks = 0;
    size_t padding = 0;
};

// The file's bytes as blocks (variable ones of `record` bytes), a chunk at a time, until the
// file ends or something fails (the failure recorded in `out`).
void SendFile(Session& session, InputFile& input, uint32_t blockSize, size_t record, Sent& sent,
              CommandResult& out)
{
    const size_t unit = blockSize == 0 ? record : blockSize;
    const size_t chunk = std::max<size_t>(1, kChunkBytes / unit) * unit;
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[chunk]);
    Progress progress("writing", input.size());
    while (true) {
        int error = 0;
        const size_t got = input.Fill(buffer.get(), chunk, error);
        if (error != 0) {
            FileFailure(out, input.name(),
                        "cannot read after " + std::to_string(sent.bytes) +
                            " bytes: " + ErrorText(error) + "; the " + std::to_string(sent.onTape) +
                            " bytes before stay on tape");
            return;
        }
        if (got == 0) {
            return;
        }
        sent.bytes += got;
        size_t length = got;
        // Only the input's end leaves a chunk short, so only the last block is filled up.
        if (blockSize != 0 && got % blockSize != 0) {
            sent.padding = blockSize - got % blockSize;
            std::memset(buffer.get() + got, 0, sent.padding);
            length += sent.padding;
        }
        if (!SendChunk(session, buffer.get(), length, blockSize, record, sent.onTape, sent.blocks,
                       out)) {
            return;
        }
        progress.Update(sent.bytes);
        if (got < chunk) {
            return;
        }
    }
}

// The cartridge could not take the blocks (a full disk, a file-size limit): what its
// last commit holds stays on tape, the rest of this write is gone, and the message says how
// much is which and where the tape now stands.
void KeptAfterFailure(Session& session, const store::StoreError& error, const Sent& sent,
                      size_t blockBytes, CommandResult& out)
{
    const store::DriveState opened = session.Opened();
    const store::DriveState recorded = session.Abandon();
    // Commits during a write record the tape at the end of what they hold; the write began
    // where the tape stood when the cartridge was opened.
    const uint64_t blocks =
        recorded.partition == opened.partition && recorded.position > opened.position
            ? recorded.position - opened.position
            : 0;
    const uint64_t kept = std::min<uint64_t>(sent.bytes, blocks * blockBytes);
    out.failure =
        Failure{"write failed after " + std::to_string(sent.onTape) +
                    " bytes: the cartridge cannot hold them: " + error.what(),
                std::nullopt,
                blocks == 0 ? std::string("none of them reached the tape")
                            : std::to_string(kept) + " bytes of them (" + std::to_string(blocks) +
                                  " blocks) reached the tape and stay there; the "
                                  "rest was not kept"};
    out.result["bytes"] = kept;
    out.result["blocks"] = blocks;
    ShowRecordedStop(recorded, out);
}

}  // namespace

void WriteFile(Session& session, const std::string& path, std::optional<uint32_t> given,
               std::optional<uint32_t> recordSize, CommandResult& out)
{
    RefuseOwnFile(session, path, STDIN_FILENO);
    InputFile input(path);
    uint32_t blockSize = 0;
    if (!TransferBlockSize(session, given, blockSize, out)) {
        return;
    }
    if (recordSize && blockSize != 0) {
        Fail(out, "--record-size sets the length of variable-length blocks; this write makes " +
                      std::to_string(blockSize) + "-byte blocks");
        out.failure->hint =
            "'setblk 0' sets the drive to variable-length blocks, or give "
            "--block-size 0";
        return;
    }
    const size_t record = recordSize.value_or(kVariableBlockBytes);
    Sent sent;
    try {
        SendFile(session, input, blockSize, record, sent, out);
        // Kept here and not by the caller, so that a file that cannot hold the last blocks
        // is told as this write's failure.
        session.Close();
    } catch (const store::StoreError& e) {
        KeptAfterFailure(session, e, sent, blockSize == 0 ? record : size_t{blockSize}, out);
    }
    out.result["file"] = path;
    out.result["blockSize"] = blockSize;
    out.result["padding"] = sent.padding;
    if (!session.Abandoned()) {
        out.result["bytes"] = std::min(sent.onTape, sent.bytes);
        out.result["blocks"] = sent.blocks;
    }
    if (out.failure) {
        return;
    }
    std::string line = "wrote " + std::to_string(sent.bytes) + " bytes from " + input.name() +
                       " as " + std::to_string(sent.blocks) +
                       (sent.blocks == 1 ? " block" : " blocks");
    line += blockSize == 0 ? " (variable length)" : " of " + std::to_string(blockSize) + " bytes";
    if (sent.padding > 0) {
        line += ", the last filled up with " + std::to_string(sent.padding) + " zero bytes";
    }
    out.lines.push_back(line);
    ShowPosition(session, out);
}

void ReadFile(Session& session, const std::string& path, std::optional<uint32_t> given,
              CommandResult& out)
{
    RefuseOwnFile(session, path, STDOUT_FILENO);
    uint32_t blockSize = 0;
    if (!TransferBlockSize(session, given, blockSize, out)) {
        return;
    }
    OutputFile output(path);
    size_t capacity = blockSize == 0 ? kVariableReadBytes
                                     : std::max<size_t>(1, kChunkBytes / blockSize) * blockSize;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    uint64_t bytes = 0;
    uint64_t unvouched = 0;
    std::string stop;
    Progress progress("reading", std::nullopt);
    while (stop.empty()) {
        const host::ReadResult result = session.Read(buffer.get(), capacity, blockSize);
        const ReadVerdict verdict = JudgeRead(result, blockSize, capacity, bytes);
        if (!verdict.note.empty()) {
            out.lines.push_back(verdict.note);
            unvouched += result.moved;
            out.result["unvouchedBytes"] = unvouched;
        }
        if (verdict.next == ReadNext::Longer && capacity < kLargestBlockBytes) {
            // A block longer than the room offered; the drive has gone past it. Back over it
            // and read it again with four times the room, up to the longest block a READ can
            // ask for: the room stays as small as the tape's blocks allow, since every READ
            // hands the class driver a buffer of that size.
            TAPE_SET_POSITION back{};
            back.Method = TAPE_SPACE_RELATIVE_BLOCKS;
            back.Offset.QuadPart = -1;
            const TAPE_STATUS status = session.Run(host::Request::SetPosition, &back);
            if (status != TAPE_STATUS_SUCCESS) {
                out.failure = Failure{ReadFailedAfter(bytes) +
                                          ": the tape could not go back over a block longer "
                                          "than the room read",
                                      status,
                                      {}};
                return;
            }
            capacity = std::min(capacity * 4, kLargestBlockBytes);
            buffer.reset(new uint8_t[capacity]);
            continue;
        }
        if (verdict.bytes > 0) {
            const int error = output.Write(buffer.get(), verdict.bytes);
            if (error != 0) {
                FileFailure(out, output.name(),
                            "cannot write after " + std::to_string(bytes) +
                                " bytes: " + ErrorText(error) +
                                (output.replaces() ? " (the file was left as it was)" : ""));
                return;
            }
            bytes += verdict.bytes;
            progress.Update(bytes);
        }
        switch (verdict.next) {
        case ReadNext::More:
            break;
        case ReadNext::Stop:
            stop = verdict.stoppedAt;
            break;
        case ReadNext::Measure:
            FailPassedBlock(session, bytes, blockSize, result.status, out);
            return;
        case ReadNext::Longer:  // longer than any READ can ask for
            out.failure = Failure{ReadFailedAfter(bytes), result.status, {}};
            return;
        case ReadNext::Fail:
            out.failure = verdict.failure;
            if (result.status == TAPE_STATUS_DEVICE_DATA_ERROR) {
                // A block the drive names as unreadable: which one, and how to go on past it.
                const SenseFacts& sense = session.lastSense();
                if (sense.mediumError && sense.information) {
                    out.failure = DamagedBlock(session, bytes, sense);
                }
            }
            return;
        }
    }
    // The tape's new place is recorded before the file takes its path: a cartridge that
    // cannot record it (a full disk) fails the read with the file not yet there, as if the
    // read had not happened.
    session.Close();
    const int error = output.Commit();
    if (error != 0) {
        FileFailure(out, output.name(),
                    "cannot put the file in place: " + ErrorText(error) +
                        " (the file was left as it was; the tape has moved past what was read)");
        ShowPosition(session, out);
        return;
    }
    out.result["file"] = path;
    out.result["bytes"] = bytes;
    out.result["stoppedAt"] = stop;
    out.lines.push_back("read " + std::to_string(bytes) + " bytes into " + output.name() +
                        ", stopped at " + stop);
    ShowPosition(session, out);
}

}  // namespace tools
