// velmtape's data path, the write side and what both sides share: a file streamed to the tape
// one bounded chunk at a time through the class driver's WRITE, so a whole cartridge moves in
// the memory of one chunk, with progress on a terminal and every failure of the file's side
// said in the system's words.
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
#include "tools/own_files.h"
#include "tools/progress.h"
#include "tools/report.h"
#include "tools/transfer_steps.h"

namespace tools {

void FileFailure(CommandResult& out, const std::string& subject, const std::string& what)
{
    out.failure = Failure{what, std::nullopt, {}};
    out.failedFile = subject;
}

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

namespace {

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

// The filemark of `write --weof`. A refused one leaves the data on tape without it, and says so.
void EndTapeFile(Session& session, const Sent& sent, CommandResult& out)
{
    TAPE_WRITE_MARKS record{};
    record.Type = TAPE_FILEMARKS;
    record.Count = 1;
    if (!Do(session, host::Request::WriteMarks, &record, out)) {
        out.failure->what = "the " + std::to_string(sent.onTape) +
                            " bytes are on tape, but the filemark after them was not written";
        return;
    }
    out.result["filemarks"] = 1;
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
               std::optional<uint32_t> recordSize, bool weof, CommandResult& out)
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
        if (weof && !out.failure) {
            EndTapeFile(session, sent, out);
        }
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
    if (weof) {
        out.lines.push_back("wrote 1 filemark");
    }
    ShowPosition(session, out);
}

}  // namespace tools
