// The MTIOCTOP operations and MTIOCGET of Linux's st driver, each carried out with the
// driver's tape requests: one row per operation, with what st does around it (a filemark
// ending data just written, a mark the last read already crossed).
#include <linux/mtio.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "tools/mt_status.h"
#include "tools/rmt_errno.h"
#include "tools/rmt_tape.h"

namespace tools::rmt {
namespace {

constexpr uint64_t kBytesPerMb = 1000000;  // as the drive counts partition sizes

// What an operation does to the tape, and so what st does around it.
enum class Effect {
    Stays,  // the tape stays where it is
    // The tape moves: what the last read left for the next one, the data just written and the
    // early warning are behind it.
    Moves,
    // Moves, and after data written st ends the file with a filemark first, so that a rewind
    // or a move backward never leaves a file without its end.
    MovesAfterFilemark,
    // Writes on the tape (marks, erase, partitions): refused when opened for reading only.
    Writes,
};

struct OpRow {
    int operation;
    Effect effect;
    // A filemark already crossed (by the last read, or written first) changes the count of a
    // file motion: +1 for one backward, -1 for one forward, as st counts it.
    int crossed;
    Reply (*run)(LinuxTape& tape, int64_t count);
    const char* refused = nullptr;  // why the operation is not carried out
};

Reply Refusal(const char* why)
{
    return Failure(ENOSYS, why);
}

}  // namespace

Reply LinuxTape::Operate(int64_t operation, int64_t count)
{
    using T = LinuxTape;
    constexpr Effect kStays = Effect::Stays;
    constexpr Effect kMoves = Effect::Moves;
    constexpr Effect kEnds = Effect::MovesAfterFilemark;
    constexpr Effect kWrites = Effect::Writes;
    constexpr const char* kNoSelfTest = "the driver has no request for the drive's self tests";
    static const OpRow kOps[] = {
        {MTRESET, kStays, 0, nullptr, "the driver has no request that resets the drive"},
        {MTFSF, kMoves, -1, [](T& t, int64_t n) { return t.Space(TAPE_SPACE_FILEMARKS, n); }},
        {MTBSF, kEnds, 1, [](T& t, int64_t n) { return t.Space(TAPE_SPACE_FILEMARKS, -n); }},
        {MTFSR, kMoves, 0, [](T& t, int64_t n) { return t.Space(TAPE_SPACE_RELATIVE_BLOCKS, n); }},
        {MTBSR, kMoves, 0, [](T& t, int64_t n) { return t.Space(TAPE_SPACE_RELATIVE_BLOCKS, -n); }},
        {MTWEOF, kWrites, 0, [](T& t, int64_t n) { return t.Marks(TAPE_FILEMARKS, n, false); }},
        {MTREW, kEnds, 0, [](T& t, int64_t) { return t.Space(TAPE_REWIND, 0); }},
        {MTOFFL, kEnds, 0, [](T& t, int64_t) { return t.Unload(); }},
        {MTNOP, kStays, 0, [](T&, int64_t) { return Reply::Done(0); }},
        {MTRETEN, kMoves, 0, [](T& t, int64_t) { return t.Prepare(TAPE_TENSION); }},
        {MTBSFM, kEnds, 1,
         [](T& t, int64_t n) { return t.SpaceThenBack(TAPE_SPACE_FILEMARKS, -n); }},
        {MTFSFM, kMoves, -1,
         [](T& t, int64_t n) { return t.SpaceThenBack(TAPE_SPACE_FILEMARKS, n); }},
        {MTEOM, kMoves, 0, [](T& t, int64_t) { return t.Space(TAPE_SPACE_END_OF_DATA, 0); }},
        {MTERASE, kWrites, 0, [](T& t, int64_t n) { return t.Erase(n != 0); }},
        {MTRAS1, kStays, 0, nullptr, kNoSelfTest},
        {MTRAS2, kStays, 0, nullptr, kNoSelfTest},
        {MTRAS3, kStays, 0, nullptr, kNoSelfTest},
        {MTSETBLK, kStays, 0, [](T& t, int64_t n) { return t.SetBlockSize(n); }},
        {MTSETDENSITY, kStays, 0, nullptr,
         "the QT-7310 records one density; the driver has no request that sets it"},
        {MTSEEK, kEnds, 0, [](T& t, int64_t n) { return t.Locate(n); }},
        {MTSETDRVBUFFER, kStays, 0, nullptr,
         "st's own driver options have no counterpart in the driver's requests"},
        {MTFSS, kMoves, 0, [](T& t, int64_t n) { return t.Space(TAPE_SPACE_SETMARKS, n); }},
        {MTBSS, kMoves, 0, [](T& t, int64_t n) { return t.Space(TAPE_SPACE_SETMARKS, -n); }},
        {MTWSM, kWrites, 0, [](T& t, int64_t n) { return t.Marks(TAPE_SETMARKS, n, false); }},
        {MTLOCK, kStays, 0, [](T& t, int64_t) { return t.Prepare(TAPE_LOCK); }},
        {MTUNLOCK, kStays, 0, [](T& t, int64_t) { return t.Prepare(TAPE_UNLOCK); }},
        {MTLOAD, kMoves, 0, [](T& t, int64_t) { return t.Load(); }},
        {MTUNLOAD, kEnds, 0, [](T& t, int64_t) { return t.Unload(); }},
        {MTCOMPRESSION, kStays, 0, [](T& t, int64_t n) { return t.Compression(n != 0); }},
        {MTSETPART, kMoves, 0, [](T& t, int64_t n) { return t.SetPartition(n); }},
        {MTMKPART, kWrites, 0, [](T& t, int64_t n) { return t.MakePartitions(n); }},
        {MTWEOFI, kWrites, 0, [](T& t, int64_t n) { return t.Marks(TAPE_FILEMARKS, n, true); }},
    };
    if (!session_) {
        return NotOpen();
    }
    const auto* row = std::find_if(std::begin(kOps), std::end(kOps),
                                   [&](const OpRow& r) { return r.operation == operation; });
    if (row == std::end(kOps)) {
        return Refusal("no MTIOCTOP operation has this number (numbers as in Linux's mtio.h)");
    }
    if (row->refused != nullptr) {
        return Refusal(row->refused);
    }
    if (count < INT_MIN || count > INT_MAX) {
        return Failure(EINVAL, "the count " + std::to_string(count) + " does not fit mt_count");
    }
    if (row->effect == Effect::Writes && !writable_) {
        return Failure(EBADF, "the tape was opened for reading only");
    }
    int64_t n = count;
    if (row->effect != Effect::Stays) {
        if (wrote_ && row->effect == Effect::MovesAfterFilemark) {
            Reply marked = Marks(TAPE_FILEMARKS, 1, false);
            if (!marked.ok()) {
                return marked;
            }
            n += row->crossed > 0 ? 1 : 0;
        } else if (pendingMark_) {
            n += row->crossed;
        }
        wrote_ = false;
        earlyWarning_ = false;
        pending_.reset();
        pendingMark_ = false;
    }
    return row->run(*this, n);
}

Reply LinuxTape::SpaceThenBack(ULONG method, int64_t count)
{
    // Over `count` marks, then back over the last one, to stand on its near side.
    Reply spaced = Space(method, count);
    if (!spaced.ok() || count == 0) {
        return spaced;
    }
    return Space(method, count > 0 ? -1 : 1);
}

Reply LinuxTape::Erase(bool longErase)
{
    TAPE_ERASE record{};
    record.Type = longErase ? TAPE_ERASE_LONG : TAPE_ERASE_SHORT;
    return Request(host::Request::Erase, &record);
}

Reply LinuxTape::SetBlockSize(int64_t size)
{
    if (size < 0) {
        return Failure(EINVAL, "a block size is never negative");
    }
    blockSize_.reset();
    CommandResult out;
    SetBlock(*session_, static_cast<uint32_t>(size), out);
    return FromOutcome(out, "SetMediaParameters failed");
}

Reply LinuxTape::Locate(int64_t block)
{
    if (block < 0) {
        return Failure(EINVAL, "a block address is never negative");
    }
    TAPE_SET_POSITION record{};
    record.Method = TAPE_LOGICAL_BLOCK;
    record.Offset.QuadPart = block;
    return Request(host::Request::SetPosition, &record);
}

Reply LinuxTape::Load()
{
    session_->InsertForLoad();
    blockSize_.reset();
    Reply loaded = Prepare(TAPE_LOAD);
    unloaded_ = unloaded_ && !loaded.ok();
    return loaded;
}

Reply LinuxTape::Unload()
{
    Reply unloaded = Prepare(TAPE_UNLOAD);
    unloaded_ = unloaded_ || unloaded.ok();
    return unloaded;
}

Reply LinuxTape::Compression(bool on)
{
    CommandResult out;
    SetDriveFlag(*session_, true, on, out);
    return FromOutcome(out, "SetDriveParameters failed");
}

Reply LinuxTape::SetPartition(int64_t partition)
{
    // st numbers partitions from 0, the tape requests from 1.
    if (partition < 0 || partition > 1) {
        return Failure(EINVAL,
                       "the QT-7310 has partitions 0 and 1, not " + std::to_string(partition));
    }
    CommandResult out;
    if (!CheckPartition(*session_, static_cast<uint32_t>(partition + 1), out)) {
        return FromOutcome(out, "GetMediaParameters failed");
    }
    TAPE_SET_POSITION record{};
    record.Method = TAPE_LOGICAL_BLOCK;
    record.Partition = static_cast<ULONG>(partition + 1);
    return Request(host::Request::SetPosition, &record);
}

Reply LinuxTape::MakePartitions(int64_t secondMb)
{
    // st's count is the size of the second partition in megabytes (0: one partition); the
    // request names the first, which gets what the second leaves.
    if (secondMb < 0) {
        return Failure(EINVAL, "a partition size is never negative");
    }
    std::optional<uint32_t> firstMb;
    if (secondMb > 0) {
        TAPE_GET_MEDIA_PARAMETERS media{};
        CommandResult asked;
        if (!MediaParameters(*session_, media, asked)) {
            return FromOutcome(asked, "GetMediaParameters failed");
        }
        const int64_t tapeMb = media.Capacity.QuadPart / static_cast<int64_t>(kBytesPerMb);
        if (secondMb >= tapeMb || tapeMb - secondMb > UINT16_MAX) {
            return Failure(EINVAL, "a second partition of " + std::to_string(secondMb) +
                                       " MB leaves no first partition the drive can make on a "
                                       "tape of " +
                                       std::to_string(tapeMb) + " MB");
        }
        firstMb = static_cast<uint32_t>(tapeMb - secondMb);
    }
    CommandResult out;
    tools::MakePartitions(*session_, firstMb, out);
    return FromOutcome(out, "CreatePartition failed");
}

Reply LinuxTape::Status(mtget& status)
{
    if (!session_) {
        return NotOpen();
    }
    MtFacts facts;
    const TAPE_STATUS ready = session_->Run(host::Request::GetStatus, nullptr);
    facts.ready = ready == TAPE_STATUS_SUCCESS;
    facts.noMedium = ready == TAPE_STATUS_NO_MEDIA;
    if (facts.ready) {
        TAPE_GET_MEDIA_PARAMETERS media{};
        if (session_->Run(host::Request::GetMediaParameters, &media) == TAPE_STATUS_SUCCESS) {
            facts.writeProtected = media.WriteProtected != 0;
            facts.blockSize = media.BlockSize;
        }
        TAPE_GET_POSITION position{};
        position.Type = TAPE_LOGICAL_POSITION;
        if (session_->Run(host::Request::GetPosition, &position) == TAPE_STATUS_SUCCESS &&
            position.Partition > 0) {
            facts.partition = position.Partition - 1;
        }
        facts.counted = session_->counted();
    }
    const MtFacts shown = Shown(facts);
    status = mtget{};
    status.mt_type = MT_ISSCSI2;
    status.mt_resid = shown.partition.value_or(0);  // where st keeps the partition
    status.mt_dsreg = static_cast<long>((shown.blockSize.value_or(0) << MT_ST_BLKSIZE_SHIFT) &
                                        MT_ST_BLKSIZE_MASK);
    status.mt_gstat = GeneralStatusBits(facts);
    status.mt_fileno = static_cast<int>(shown.counted.file);
    status.mt_blkno = static_cast<int>(shown.counted.block);
    return Reply::Done(sizeof(mtget));
}

}  // namespace tools::rmt
