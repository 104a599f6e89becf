// velmtape's data path, the read side: a file filled from the tape one bounded chunk at a time
// through the class driver's READ, up to the next mark or end of data. Each step of the read is
// its own routine: what a READ vouched for goes to the file, a block longer than the room is
// read again with more, a block of another length is measured, a damaged one is named.
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "tools/data_file.h"
#include "tools/file_count.h"
#include "tools/output_file.h"
#include "tools/own_files.h"
#include "tools/progress.h"
#include "tools/read_end.h"
#include "tools/report.h"
#include "tools/transfer.h"
#include "tools/transfer_steps.h"

namespace tools {
namespace {

// Room for one variable block at first: four times the blocks `write` makes, so that a drive
// that miscounts a short block's residual (tgt counts the block's length as not moved) still
// delivers the whole block.
constexpr size_t kVariableReadBytes = 4 * kVariableBlockBytes;
constexpr size_t kLargestBlockBytes = 0xFFFFFF;  // the longest block READ(6) can ask for

// One block back: over a block the drive has just passed.
TAPE_STATUS BackOverBlock(Session& session)
{
    TAPE_SET_POSITION back{};
    back.Method = TAPE_SPACE_RELATIVE_BLOCKS;
    back.Offset.QuadPart = -1;
    return session.Run(host::Request::SetPosition, &back);
}

// After a fixed-block read met a block of another length, the drive has passed over it and
// its sense counts blocks, not bytes. Back over the block and read it as a variable block of
// one byte: the residue of that read is the block's length, and the tape again stands after
// it. Nothing when the drive does not say.
std::optional<int64_t> MeasurePassedBlock(Session& session)
{
    if (BackOverBlock(session) != TAPE_STATUS_SUCCESS) {
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

// A read under way: the room each READ gets, and what has reached the file.
struct Reading {
    size_t capacity = 0;
    std::unique_ptr<uint8_t[]> buffer;
    uint64_t bytes = 0;      // written to the file
    uint64_t unvouched = 0;  // moved by the transport without the drive vouching for them
    std::string stop;        // what ended the read well: "filemark", "setmark", "end of data"

    explicit Reading(uint32_t blockSize)
        : capacity(blockSize == 0 ? kVariableReadBytes
                                  : std::max<size_t>(1, kChunkBytes / blockSize) * blockSize),
          buffer(new uint8_t[capacity])
    {
    }
};

// A READ whose transfer the drive did not vouch for (a target that sends zeros with its end
// of data): said, and counted apart from the data.
void NoteUnvouched(const ReadVerdict& verdict, const host::ReadResult& result, Reading& reading,
                   CommandResult& out)
{
    if (verdict.note.empty()) {
        return;
    }
    out.lines.push_back(verdict.note);
    reading.unvouched += result.moved;
    out.result["unvouchedBytes"] = reading.unvouched;
}

// A block longer than the room offered; the drive has gone past it. Back over it and read it
// again with four times the room, up to the longest block a READ can ask for: the room stays
// as small as the tape's blocks allow, since every READ hands the class driver a buffer of
// that size. False (and the failure recorded) when the tape could not go back.
bool MoreRoom(Session& session, Reading& reading, CommandResult& out)
{
    const TAPE_STATUS status = BackOverBlock(session);
    if (status != TAPE_STATUS_SUCCESS) {
        out.failure = Failure{ReadFailedAfter(reading.bytes) +
                                  ": the tape could not go back over a block longer than the "
                                  "room read",
                              status,
                              {}};
        return false;
    }
    reading.capacity = std::min(reading.capacity * 4, kLargestBlockBytes);
    reading.buffer.reset(new uint8_t[reading.capacity]);
    return true;
}

// What the drive vouched for into the file. False (and the failure recorded) when the file
// cannot take it.
bool KeepVouched(OutputFile& output, size_t length, Reading& reading, Progress& progress,
                 CommandResult& out)
{
    if (length == 0) {
        return true;
    }
    const int error = output.Write(reading.buffer.get(), length);
    if (error != 0) {
        FileFailure(out, output.name(),
                    "cannot write after " + std::to_string(reading.bytes) +
                        " bytes: " + ErrorText(error) +
                        (output.replaces() ? " (the file was left as it was)" : ""));
        return false;
    }
    reading.bytes += length;
    progress.Update(reading.bytes);
    return true;
}

// A read that ends in failure, with what is known of the block it stopped at.
void ReadFailed(Session& session, const ReadVerdict& verdict, const host::ReadResult& result,
                uint32_t blockSize, const Reading& reading, CommandResult& out)
{
    switch (verdict.next) {
    case ReadNext::Measure:
        FailPassedBlock(session, reading.bytes, blockSize, result.status, out);
        return;
    case ReadNext::Longer:  // longer than any READ can ask for
        out.failure = Failure{ReadFailedAfter(reading.bytes), result.status, {}};
        return;
    default:
        out.failure = verdict.failure;
        if (result.status == TAPE_STATUS_DEVICE_DATA_ERROR) {
            // A block the drive names as unreadable: which one, and how to go on past it.
            const SenseFacts& sense = session.lastSense();
            if (sense.mediumError && sense.information) {
                out.failure = DamagedBlock(session, reading.bytes, sense);
            }
        }
        return;
    }
}

// READs until a mark or end of data ends the read well (`reading.stop` set); false (and the
// failure recorded) when it ends otherwise.
bool ReadToMark(Session& session, uint32_t blockSize, OutputFile& output, Reading& reading,
                CommandResult& out)
{
    Progress progress("reading", std::nullopt);
    while (reading.stop.empty()) {
        const host::ReadResult result =
            session.Read(reading.buffer.get(), reading.capacity, blockSize);
        const ReadVerdict verdict = JudgeRead(result, blockSize, reading.capacity, reading.bytes);
        NoteUnvouched(verdict, result, reading, out);
        if (verdict.next == ReadNext::Longer && reading.capacity < kLargestBlockBytes) {
            if (!MoreRoom(session, reading, out)) {
                return false;
            }
            continue;
        }
        if (!KeepVouched(output, verdict.bytes, reading, progress, out)) {
            return false;
        }
        if (verdict.next == ReadNext::Stop) {
            reading.stop = verdict.stoppedAt;
        } else if (verdict.next != ReadNext::More) {
            ReadFailed(session, verdict, result, blockSize, reading, out);
            return false;
        }
    }
    return true;
}

}  // namespace

void ReadFile(Session& session, const std::string& path, std::optional<uint32_t> given,
              CommandResult& out)
{
    RefuseOwnFile(session, path, STDOUT_FILENO);
    uint32_t blockSize = 0;
    if (!TransferBlockSize(session, given, blockSize, out)) {
        return;
    }
    OutputFile output(path);
    Reading reading(blockSize);
    if (!ReadToMark(session, blockSize, output, reading, out)) {
        return;
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
    out.result["bytes"] = reading.bytes;
    out.result["stoppedAt"] = reading.stop;
    out.lines.push_back("read " + std::to_string(reading.bytes) + " bytes into " + output.name() +
                        ", stopped at " + reading.stop);
    ShowPosition(session, out);
}

}  // namespace tools
