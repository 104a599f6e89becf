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
#include "tools/report.h"

namespace tools {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunkBytes = size_t{1} << 20;  // file bytes moved at a time
constexpr size_t kVariableBlockBytes = 65536;    // blocks that `write` makes by default
// Room for one variable block at first: four times the blocks `write` makes, so that a drive
// that miscounts a short block's residual (tgt counts the block's length as not moved) still
// delivers the whole block.
constexpr size_t kVariableReadBytes = 4 * kVariableBlockBytes;
constexpr size_t kLargestBlockBytes = 0xFFFFFF;  // the longest block READ(6) can ask for
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

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

// Putting the cartridge onto itself, or reading it into itself, would chase its own end.
void RefuseCartridge(const Session& session, const std::string& path, int standardFd)
{
    struct stat cartridge {};
    struct stat file {};
    if (stat(session.path().c_str(), &cartridge) != 0) {
        return;
    }
    const bool known =
        path == kStandardStream ? fstat(standardFd, &file) == 0 : stat(path.c_str(), &file) == 0;
    if (known && file.st_dev == cartridge.st_dev && file.st_ino == cartridge.st_ino) {
        throw ToolError(
            path == kStandardStream
                ? std::string(standardFd == STDIN_FILENO ? "standard input" : "standard output")
                : path,
            "is the cartridge file itself");
    }
}

// Sends one chunk as blocks (variable ones of `record` bytes); false (and the failure recorded)
// when the drive stopped.
bool SendChunk(Session& session, uint8_t* data, size_t length, uint32_t blockSize, size_t record,
               uint64_t& onTape, uint64_t& blocks, Outcome& out)
{
    const size_t step = blockSize == 0 ? record : length;
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
    TAPE_GET_MEDIA_PARAMETERS media{};
    if (given) {
        size = *given;
        // Variable-length blocks move whatever the drive is set to; fixed ones only in the
        // drive's own size, else the drive refuses in words that say nothing of sizes.
        if (*given != 0 &&
            session.Run(host::Request::GetMediaParameters, &media) == TAPE_STATUS_SUCCESS &&
            media.BlockSize != *given) {
            out.failure = Failure{
                "the drive is set to " +
                    (media.BlockSize == 0 ? std::string("variable-length blocks")
                                          : std::to_string(media.BlockSize) + "-byte blocks") +
                    ", not " + std::to_string(*given) + "-byte blocks",
                std::nullopt,
                "'setblk " + std::to_string(*given) +
                    "' sets the drive to them; without "
                    "--block-size the drive's own are used"};
            return false;
        }
        return true;
    }
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

}  // namespace

void WriteFile(Session& session, const std::string& path, std::optional<uint32_t> given,
               std::optional<uint32_t> recordSize, Outcome& out)
{
    RefuseCartridge(session, path, STDIN_FILENO);
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
    const size_t unit = blockSize == 0 ? record : blockSize;
    const size_t chunk = std::max<size_t>(1, kChunkBytes / unit) * unit;
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
        if (!SendChunk(session, buffer.get(), length, blockSize, record, onTape, blocks, out)) {
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
    std::string stop;
    Progress progress("reading", std::nullopt);
    while (stop.empty()) {
        host::TransferResult result = session.Read(buffer.get(), capacity, blockSize);
        const SenseFacts sense = ReadSense(session.lastSense());
        if (result.status != TAPE_STATUS_SUCCESS && sense.information && *sense.information >= 0) {
            // The residue is the drive's own count of what it did not deliver (blocks, or bytes
            // of a variable block); a transport that counts the whole transfer as moved (tgt,
            // at a mark or end of data) is corrected by it.
            const uint64_t notMoved =
                static_cast<uint64_t>(*sense.information) * (blockSize == 0 ? 1 : blockSize);
            if (notMoved <= capacity) {
                result.bytes = std::min<size_t>(result.bytes, capacity - notMoved);
            }
        }
        if (blockSize == 0 && result.status == TAPE_STATUS_INVALID_BLOCK_LENGTH &&
            sense.information && *sense.information > 0 &&
            static_cast<size_t>(*sense.information) <= capacity) {
            // A block shorter than the room offered, reported although SILI forgives it (tgt
            // does, and miscounts what it moved): the residue gives its true length, taken
            // only when that much arrived; bytes that never arrived are not written as data.
            const size_t length = capacity - static_cast<size_t>(*sense.information);
            if (length > result.bytes) {
                out.failure =
                    Failure{"read failed after " + std::to_string(bytes) +
                                " bytes: the drive reported a block of " + std::to_string(length) +
                                " bytes but delivered " + std::to_string(result.bytes),
                            result.status,
                            {}};
                return;
            }
            result.bytes = length;
            result.status = TAPE_STATUS_SUCCESS;
        }
        if (blockSize == 0 && result.status == TAPE_STATUS_INVALID_BLOCK_LENGTH &&
            capacity < kLargestBlockBytes) {
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
        if (result.bytes > 0) {
            const int error = output.Write(buffer.get(), result.bytes);
            if (error != 0) {
                FileFailure(out, output.name(),
                            "cannot write after " + std::to_string(bytes) +
                                " bytes: " + ErrorText(error) +
                                (output.replaces() ? " (the file was left as it was)" : ""));
                return;
            }
            bytes += result.bytes;
            progress.Update(bytes);
        }
        if (result.status == TAPE_STATUS_SUCCESS) {
            continue;
        }
        if (result.status == TAPE_STATUS_FILEMARK_DETECTED) {
            stop = "filemark";
        } else if (result.status == TAPE_STATUS_SETMARK_DETECTED) {
            stop = "setmark";
        } else if (result.status == TAPE_STATUS_NO_DATA_DETECTED && bytes > 0) {
            stop = "end of data";
        } else if (result.status == TAPE_STATUS_INVALID_BLOCK_LENGTH && blockSize != 0) {
            const std::optional<int64_t> length = MeasurePassedBlock(session);
            std::string what =
                "read failed after " + std::to_string(bytes) +
                " bytes: the next "
                "block is " +
                (length ? std::to_string(*length) + " bytes long" : "of another length") +
                ", not " + std::to_string(blockSize) + " bytes; the tape has moved past it";
            if (length) {
                out.result["blockLength"] = *length;
            }
            out.failure = Failure{what, result.status,
                                  "to read it, go back over it with 'bsr' and read variable-length "
                                  "blocks: 'setblk 0' (or read --block-size 0)"};
            return;
        } else {
            out.failure =
                Failure{"read failed after " + std::to_string(bytes) + " bytes", result.status, {}};
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
