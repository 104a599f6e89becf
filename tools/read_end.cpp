// The end of a READ in the read's terms: first whether the drive vouched for what arrived, then
// one table from the driver's final status to what the read does, its exit status and words.
#include "tools/read_end.h"

namespace tools {
namespace {

// What a READ's final status makes of the read. A stop ends it well (exit 0); any status not
// in the table fails it with that status in words (exit 2), as every failed request does.
struct ReadEnd {
    TAPE_STATUS status;
    ReadNext next;
    const char* stoppedAt;
};

constexpr ReadEnd kReadEnds[] = {
    {TAPE_STATUS_SUCCESS, ReadNext::More, ""},
    {TAPE_STATUS_FILEMARK_DETECTED, ReadNext::Stop, "filemark"},
    {TAPE_STATUS_SETMARK_DETECTED, ReadNext::Stop, "setmark"},
    // Ends well only after data (see JudgeRead): a read that finds nothing read no file.
    {TAPE_STATUS_NO_DATA_DETECTED, ReadNext::Stop, "end of data"},
    // Settled by the block's length (see JudgeRead).
    {TAPE_STATUS_INVALID_BLOCK_LENGTH, ReadNext::Longer, ""},
};

ReadEnd EndFor(TAPE_STATUS status)
{
    for (const ReadEnd& end : kReadEnds) {
        if (end.status == status) {
            return end;
        }
    }
    return ReadEnd{status, ReadNext::Fail, ""};
}

std::string Bytes(size_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::string Asked(size_t asked, uint32_t blockSize)
{
    if (blockSize == 0) {
        return "a READ of one block of at most " + Bytes(asked);
    }
    return "a READ of " + std::to_string(asked / blockSize) + " blocks (" + Bytes(asked) + ")";
}

ReadVerdict Failed(const host::ReadResult& result, uint64_t before, const std::string& why)
{
    ReadVerdict verdict;
    verdict.failure = Failure{ReadFailedAfter(before) + ": " + why, result.status, {}};
    return verdict;
}

}  // namespace

std::string ReadFailedAfter(uint64_t bytes)
{
    return "read failed after " + std::to_string(bytes) + " bytes";
}

ReadVerdict JudgeRead(const host::ReadResult& result, uint32_t blockSize, size_t asked,
                      uint64_t before)
{
    const ReadEnd end = EndFor(result.status);
    if (result.reported && *result.reported > result.moved) {
        // The drive says more arrived than did: the tail never came, and it is not made up.
        return Failed(result, before,
                      "the drive reported " +
                          (blockSize == 0 ? "a block of " + Bytes(*result.reported)
                                          : Bytes(*result.reported)) +
                          " but delivered " + std::to_string(result.moved));
    }
    ReadVerdict verdict;
    if (!result.reported && result.moved > 0) {
        // A READ of one block that met a mark or end of data has no block to deliver, so the
        // drive's silence loses nothing. Anywhere else data may have come before the stop,
        // and how much only the drive could say.
        if (blockSize != 0 || end.next != ReadNext::Stop) {
            return Failed(result, before,
                          "the drive ended " + Asked(asked, blockSize) +
                              " without saying how much of it arrived; the transport counted " +
                              std::to_string(result.moved));
        }
        verdict.note = "not written: the " + Bytes(result.moved) +
                       " the transport counted for the last READ, which the drive did not "
                       "vouch for (its sense gave no residue)";
    }
    verdict.next = end.next;
    verdict.bytes = result.bytes;
    if (end.next == ReadNext::Stop) {
        if (end.status == TAPE_STATUS_NO_DATA_DETECTED && before + result.bytes == 0) {
            verdict.next = ReadNext::Fail;
            verdict.failure = Failure{ReadFailedAfter(0), result.status, {}};
            return verdict;
        }
        verdict.stoppedAt = end.stoppedAt;
    } else if (end.next == ReadNext::Longer) {
        if (blockSize != 0) {
            verdict.next = ReadNext::Measure;
        } else if (result.reported && *result.reported < asked) {
            // A block shorter than the room, reported although SILI forgives it (tgt does):
            // the residue gave its length.
            verdict.next = ReadNext::More;
        } else if (!result.reported) {
            return Failed(result, before,
                          "the drive reported a block of another length than " + Bytes(asked) +
                              " without saying how long");
        }
    } else if (end.next == ReadNext::Fail) {
        verdict.failure = Failure{ReadFailedAfter(before + result.bytes), result.status, {}};
    }
    return verdict;
}

}  // namespace tools
