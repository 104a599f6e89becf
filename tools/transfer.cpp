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
#include "tools/read_end.h"
#include "tools/report.h"

namespace tools {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunkBytes = size_t{1} << 20;  // file bytes moved at a time
constexpr size_t kVariableBlockBytes = 65536;    // blocks that `write` makes in variable mode
// Room for one variable block at first: four times the blocks `write` makes, so that a drive
// that miscounts a short block's residual (tgt counts the block's length as not moved) still
// delivers the whole block.
constexpr size_t kVariableReadBytes = 4 * kVariableBlockBytes;
constexpr size_t kLargestBlockBytes = 0xFFFFFF;  // the longest block READ(6) can ask for
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

static_assert(kChunkBytes % kVariableBlockBytes == 0, "a chunk holds whole variable blocks");

// One line on a terminal's standard error, redrawn at most four times a second: how much has
// moved, of how much when that is known, and how fast.
class Progress {
public:
    Progress(const char* verb, std::optional<uint64_t> total)
        : verb_(verb), total_(total), enabled_(isatty(STDERR_FILENO) != 0)
    {
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress()
    {
        if (shown_) {
            std::cerr << "\r\033[K" << std::flush;
        }
    }

    void Update(uint64_t done)
    {
        if (!enabled_) {
            return;
        }
        const Clock::time_point now = Clock::now();
        if (now - last_ < kProgressInterval) {
            return;
        }
        last_ = now;
        shown_ = true;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        std::cerr << "\r" << verb_ << ": " << Human(done);
        if (total_ && *total_ > 0) {
            std::cerr << " of " << Human(*total_) << " ("
                      << std::min<uint64_t>(100, done * 100 / *total_) << "%)";
        }
        if (seconds > 0) {
            std::cerr << ", " << Human(static_cast<uint64_t>(static_cast<double>(done) / seconds))
                      << "/s";
        }
        std::cerr << "\033[K" << std::flush;
    }

private:
    const char* verb_;
    std::optional<uint64_t> total_;
    bool enabled_;
    bool shown_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_ = start_;
};

// A failure on the file's side: the tool's own, exit status 1, about the file and not the
// cartridge.
void FileFailure(Outcome& out, const std::string& subject, const std::string& what)
{
    out.failure = Failure{what, std::nullopt, {}};
    out.failedFile = subject;
}

// Putting the cartridge onto itself, or reading it into itself (or into a file of its
// folder), would chase its own end.
void RefuseCartridge(const Session& session, const std::string& path, int standardFd)
{
    struct stat cartridge {};
    struct stat file {};
    struct stat folder {};
    if (stat(session.path().c_str(), &cartridge) != 0) {
        return;
    }
    const bool known =
        path == kStandardStream ? fstat(standardFd, &file) == 0 : stat(path.c_str(), &file) == 0;
    const bool inside = path != kStandardStream &&
                        stat(store::ParentOf(path).c_str(), &folder) == 0 &&
                        folder.st_dev == cartridge.st_dev && folder.st_ino == cartridge.st_ino;
    if (inside || (known && file.st_dev == cartridge.st_dev && file.st_ino == cartridge.st_ino)) {
        throw ToolError(
            path == kStandardStream
                ? std::string(standardFd == STDIN_FILENO ? "standard input" : "standard output")
                : path,
            inside ? "is a file of the cartridge itself" : "is the cartridge itself");
    }
}

// Sends one chunk as blocks; false (and the failure recorded) when the drive stopped.
bool SendChunk(Session& session, uint8_t* data, size_t length, uint32_t blockSize, uint64_t& onTape,
               uint64_t& blocks, Outcome& out)
{
    const size_t step = blockSize == 0 ? kVariableBlockBytes : length;
    for (size_t offset = 0; offset < length; offset += step) {
        const size_t n = std::min(step, length - offset);
        const host::TransferResult result = session.Write(data + offset, n, blockSize);
        onTape += result.bytes;
        blocks += blockSize == 0 ? (result.bytes == n ? 1 : 0) : result.bytes / blockSize;
        if (result.status != TAPE_STATUS_SUCCESS) {
            out.failure = Failure{
                "write failed after " + std::to_string(onTape) + " bytes", result.status, {}};
            return false;
        }
    }
    return true;
}

// The block size of a transfer: the user's, else the drive's. A drive that does not report
// its media parameters (tgt refuses the capacity log page they include) leaves the choice to
// the user, said plainly instead of as the driver's refusal.
bool TransferBlockSize(Session& session, std::optional<uint32_t> given, uint32_t& size,
                       Outcome& out)
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
                    (*drive == 0 ? " (variable-length blocks)" : "")};
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
        out.failure = Failure{"GetMediaParameters failed", status, {}};
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
    const SenseFacts sense = ReadSense(session.lastSense());
    if (probe.status == TAPE_STATUS_INVALID_BLOCK_LENGTH && sense.information) {
        return int64_t{1} - *sense.information;  // residue: asked for minus the block's length
    }
    return std::nullopt;
}

// A fixed-block read stopped by a block of another length: the read fails, saying how long
// the block is and how to read it.
void FailPassedBlock(Session& session, uint64_t bytes, uint32_t blockSize, TAPE_STATUS status,
                     Outcome& out)
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

}  // namespace

void WriteFile(Session& session, const std::string& path, std::optional<uint32_t> given,
               Outcome& out)
{
    RefuseCartridge(session, path, STDIN_FILENO);
    InputFile input(path);
    uint32_t blockSize = 0;
    if (!TransferBlockSize(session, given, blockSize, out)) {
        return;
    }
    const size_t chunk =
        blockSize == 0 ? kChunkBytes : std::max<size_t>(1, kChunkBytes / blockSize) * blockSize;
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[chunk]);
    uint64_t bytes = 0;   // read from the file
    uint64_t onTape = 0;  // taken by the drive, padding included
    uint64_t blocks = 0;
    size_t padding = 0;
    Progress progress("writing", input.size());
    while (true) {
        int error = 0;
        const size_t got = input.Fill(buffer.get(), chunk, error);
        if (error != 0) {
            FileFailure(out, input.name(),
                        "cannot read after " + std::to_string(bytes) +
                            " bytes: " + ErrorText(error) + "; the " + std::to_string(onTape) +
                            " bytes before stay on tape");
            break;
        }
        if (got == 0) {
            break;
        }
        bytes += got;
        size_t length = got;
        // Only the input's end leaves a chunk short, so only the last block is filled up.
        if (blockSize != 0 && got % blockSize != 0) {
            padding = blockSize - got % blockSize;
            std::memset(buffer.get() + got, 0, padding);
            length += padding;
        }
        if (!SendChunk(session, buffer.get(), length, blockSize, onTape, blocks, out)) {
            break;
        }
        progress.Update(bytes);
        if (got < chunk) {
            break;
        }
    }
    out.result["file"] = path;
    out.result["bytes"] = std::min(onTape, bytes);
    out.result["blocks"] = blocks;
    out.result["blockSize"] = blockSize;
    out.result["padding"] = padding;
    if (out.failure) {
        return;
    }
    std::string line = "wrote " + std::to_string(bytes) + " bytes from " + input.name() + " as " +
                       std::to_string(blocks) + (blocks == 1 ? " block" : " blocks");
    line += blockSize == 0 ? " (variable length)" : " of " + std::to_string(blockSize) + " bytes";
    if (padding > 0) {
        line += ", the last filled up with " + std::to_string(padding) + " zero bytes";
    }
    out.lines.push_back(line);
    ShowPosition(session, out);
}

void ReadFile(Session& session, const std::string& path, std::optional<uint32_t> given,
              Outcome& out)
{
    RefuseCartridge(session, path, STDOUT_FILENO);
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
                out.failure = Failure{"SetPosition failed (back over a long block after " +
                                          std::to_string(bytes) + " bytes)",
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
                const SenseFacts sense = ReadSense(session.lastSense());
                if (sense.mediumError && sense.information) {
                    out.failure = DamagedBlock(session, bytes, sense);
                }
            }
            return;
        }
    }
    const int error = output.Commit();
    if (error != 0) {
        FileFailure(
            out, output.name(),
            "cannot put the file in place: " + ErrorText(error) + " (the file was left as it was)");
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
