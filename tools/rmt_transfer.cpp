// The drive's own residue decides how much a transfer moved: a transport may count the whole
// transfer as moved when the drive stopped at a mark or end of data (tgt does), and a drive
// may report a short block despite SILI (tgt again), so the count is corrected by the
// residue wherever the drive gave one.
#include "tools/rmt_transfer.h"

#include <algorithm>

namespace tools::rmt {
namespace {

// What the residue leaves of a transfer of `length` bytes: INFORMATION counts blocks of a
// fixed-block transfer and bytes of a variable one.
std::optional<size_t> AfterResidue(const SenseFacts& sense, uint32_t blockSize, size_t length)
{
    if (!sense.information || *sense.information < 0) {
        return std::nullopt;
    }
    const uint64_t notMoved =
        static_cast<uint64_t>(*sense.information) * (blockSize == 0 ? 1 : blockSize);
    if (notMoved > length) {
        return std::nullopt;
    }
    return length - static_cast<size_t>(notMoved);
}

}  // namespace

ReadDone InterpretRead(const host::TransferResult& result, const SenseFacts& sense,
                       uint32_t blockSize, size_t capacity)
{
    using Stop = ReadDone::Stop;
    ReadDone done;
    done.bytes = std::min(result.bytes, capacity);
    if (result.status == TAPE_STATUS_SUCCESS) {
        return done;
    }
    if (const std::optional<size_t> left = AfterResidue(sense, blockSize, capacity)) {
        done.bytes = std::min(done.bytes, *left);
    }
    switch (result.status) {
    case TAPE_STATUS_FILEMARK_DETECTED:
    case TAPE_STATUS_SETMARK_DETECTED:
        done.stop = Stop::Mark;
        return done;
    case TAPE_STATUS_NO_DATA_DETECTED:
        done.stop = Stop::EndOfData;
        return done;
    case TAPE_STATUS_INVALID_BLOCK_LENGTH:
        break;
    default:
        done.stop = Stop::Failed;
        return done;
    }
    if (blockSize != 0) {
        done.stop = Stop::OtherLength;
        return done;
    }
    if (sense.information && *sense.information < 0) {
        done.bytes = 0;
        done.stop = Stop::LongBlock;
        done.blockLength = capacity + static_cast<uint64_t>(-int64_t{*sense.information});
        return done;
    }
    // A block shorter than the room, reported although SILI forgives it: its length is the
    // room less the residue, taken only when that many bytes arrived.
    const std::optional<size_t> length = AfterResidue(sense, 0, capacity);
    if (!length || *length > result.bytes) {
        done.stop = Stop::Failed;
        done.detail = length ? "the drive reported a block of " + std::to_string(*length) +
                                   " bytes but delivered " + std::to_string(result.bytes)
                             : "the drive did not say how long the block is";
        done.bytes = 0;
        return done;
    }
    done.bytes = *length;
    return done;
}

WriteDone InterpretWrite(const host::TransferResult& result, const SenseFacts& sense,
                         uint32_t blockSize, size_t length)
{
    using Stop = WriteDone::Stop;
    WriteDone done;
    const std::optional<size_t> written = AfterResidue(sense, blockSize, length);
    switch (result.status) {
    case TAPE_STATUS_SUCCESS:
        done.bytes = length;
        return done;
    case TAPE_STATUS_END_OF_MEDIA:
        // The early warning comes with a command that completed: without a residue, all of
        // it was written.
        done.bytes = written.value_or(length);
        done.stop = Stop::EarlyWarning;
        return done;
    case TAPE_STATUS_EOM_OVERFLOW:
        done.bytes = written.value_or(std::min(result.bytes, length));
        done.stop = Stop::Full;
        return done;
    default:
        done.bytes = written.value_or(std::min(result.bytes, length));
        done.stop = Stop::Failed;
        return done;
    }
}

}  // namespace tools::rmt
