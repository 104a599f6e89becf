// The simulated drive's commands that move the tape without changing it: REWIND, SPACE, LOCATE
// and READ POSITION, each finding marks and ends through the medium's index.
#include <iterator>

#include "sim/drive_internal.h"

namespace sim {

Result Drive::Rewind(const Call& call)
{
    position_ = 0;
    positionKnown_ = true;
    if (call.AsksImmediate()) {
        StartImmediate(Operation::Rewind);
    }
    return Result{};
}

namespace {

// SPACE's byte 1: the code in bits 2-0, reserved bits 4-3 (an old drive's long count).
constexpr size_t kSpaceCodeByte = 1;
constexpr uint8_t kSpaceCodeMask = 0x07;
constexpr uint8_t kSpaceReserved = 0x18;
constexpr uint8_t kSpaceCodeBitPointer = 2;  // the field pointer names the code's top bit
constexpr uint8_t kSpaceEndOfData = 3;

// What each code other than end of data spaces over, counting or seeking a run.
struct SpaceCode {
    ObjectKind kind;
    bool sequential;
};
constexpr std::optional<SpaceCode> kSpaceCodes[] = {
    SpaceCode{ObjectKind::Block, false},   SpaceCode{ObjectKind::Filemark, false},
    SpaceCode{ObjectKind::Filemark, true}, std::nullopt,  // end of data
    SpaceCode{ObjectKind::Setmark, false}, SpaceCode{ObjectKind::Setmark, true},
};

}  // namespace

Result Drive::Space(const Call& call)
{
    const uint8_t code = call.cdb[kSpaceCodeByte] & kSpaceCodeMask;
    const int32_t count = GetSignedBe24(&call.cdb[2]);
    if (call.cdb[kSpaceCodeByte] & kSpaceReserved) {
        return Check(Sense::CdbField(kSpaceCodeByte));
    }
    if (code >= std::size(kSpaceCodes)) {
        return Check(Sense::CdbField(kSpaceCodeByte, kSpaceCodeBitPointer));
    }
    if (!positionKnown_ && code != kSpaceEndOfData) {
        return Check(kSequentialPositioningError);
    }
    if (code == kSpaceEndOfData) {
        position_ = EndOfData();
        positionKnown_ = true;
        return Result{};
    }
    if (count == 0) {
        return Result{};
    }
    const SpaceCode& what = *kSpaceCodes[code];
    return what.sequential ? SpaceSequential(what.kind, count) : SpaceCounting(what.kind, count);
}

// SPACE ran into end of data going forward, or the beginning of the partition going back:
// the residue is what was left undone, negative for a reverse space.
Result Drive::SpaceOffTheEnd(bool forward, int64_t undone)
{
    if (forward) {
        return Check(Sense::Of(kEndOfData).Info(undone));
    }
    return Check(Sense::Of(kBeginningOfPartition).Flags(kSenseEom).Info(-undone));
}

// SPACE over blocks, filemarks or setmarks, counting objects of `counted` kind. Crossing a
// filemark stops a space over blocks; a setmark stops a space over blocks or filemarks, but
// only when setmarks are reported. The tape then stands past the mark going forward, before it
// going back. The medium's mark index finds the marks, so the cost does not grow with the
// distance.
Result Drive::SpaceCounting(ObjectKind counted, int32_t count)
{
    const bool forward = count > 0;
    const uint64_t wanted = forward ? uint64_t(count) : uint64_t(-int64_t(count));
    const int64_t sign = forward ? 1 : -1;
    const uint64_t from = position_;
    const uint64_t end = EndOfData();
    const auto marksIn = [&](uint64_t a, uint64_t b, ObjectKind kind) {
        return medium_->CountMarks(partition_, a, b, kind);
    };
    // What lies in the way: a filemark for blocks, a reported setmark for blocks and filemarks.
    std::optional<std::pair<uint64_t, ObjectKind>> stop;
    for (const ObjectKind kind : {ObjectKind::Filemark, ObjectKind::Setmark}) {
        const bool stops = kind == ObjectKind::Filemark
                               ? counted == ObjectKind::Block
                               : counted != ObjectKind::Setmark && SetmarkVisible();
        if (!stops) {
            continue;
        }
        const MarkSearch found = medium_->FindMark(partition_, from, forward, kind, 1);
        if (found.address &&
            (!stop || (forward ? *found.address < stop->first : *found.address > stop->first))) {
            stop = std::make_pair(*found.address, kind);
        }
    }
    const auto stopAt = [&](uint64_t done) {
        position_ = forward ? stop->first + 1 : stop->first;
        const bool filemark = stop->second == ObjectKind::Filemark;
        return Check(Sense::Of(filemark ? kFilemarkDetected : kSetmarkDetected)
                         .Flags(kSenseFilemark)
                         .Info(sign * int64_t(wanted - done)));
    };
    if (counted != ObjectKind::Block) {
        const MarkSearch target = medium_->FindMark(partition_, from, forward, counted, wanted);
        if (stop && (!target.address ||
                     (forward ? stop->first < *target.address : stop->first > *target.address))) {
            return stopAt(forward ? marksIn(from, stop->first, counted)
                                  : marksIn(stop->first + 1, from, counted));
        }
        if (target.address) {
            position_ = forward ? *target.address + 1 : *target.address;
            return Result{};
        }
        position_ = forward ? end : 0;
        return SpaceOffTheEnd(forward, int64_t(wanted - target.passed));
    }
    // Blocks: everything up to the stopping mark is a block or an unreported setmark, which is
    // passed over without being counted.
    const uint64_t low = forward ? from : (stop ? stop->first + 1 : 0);
    const uint64_t high = forward ? (stop ? stop->first : end) : from;
    const uint64_t blocks = (high - low) - marksIn(low, high, ObjectKind::Setmark);
    if (blocks >= wanted) {
        // The address that leaves exactly `wanted` blocks behind, setmarks between included.
        uint64_t at = forward ? from + wanted : from - wanted;
        while (true) {
            const uint64_t skipped = forward ? marksIn(from, at, ObjectKind::Setmark)
                                             : marksIn(at, from, ObjectKind::Setmark);
            const uint64_t next = forward ? from + wanted + skipped : from - wanted - skipped;
            if (next == at) {
                break;
            }
            at = next;
        }
        position_ = at;
        return Result{};
    }
    if (stop) {
        return stopAt(blocks);
    }
    position_ = forward ? end : 0;
    return SpaceOffTheEnd(forward, int64_t(wanted - blocks));
}

// SPACE to the first run of `count` consecutive marks of `kind`: forward the tape stands past
// the run's last mark, back before its first.
Result Drive::SpaceSequential(ObjectKind kind, int32_t count)
{
    const bool forward = count > 0;
    const uint64_t run = forward ? uint64_t(count) : uint64_t(-int64_t(count));
    const std::optional<uint64_t> first =
        medium_->FindMarkRun(partition_, position_, forward, kind, run);
    if (first) {
        position_ = forward ? *first + run : *first;
        return Result{};
    }
    if (forward) {
        position_ = EndOfData();
        return Check(Sense::Of(kEndOfData).Info(count));
    }
    position_ = 0;
    return Check(Sense::Of(kBeginningOfPartition).Flags(kSenseEom).Info(count));
}

Result Drive::Locate(const Call& call)
{
    const bool bt = call.cdb[1] & 0x04;
    const bool cp = call.cdb[1] & 0x02;
    uint32_t address = GetBe32(&call.cdb[3]);
    uint32_t partition = partition_;
    if (bt) {
        partition = address >> kBtPartitionShift;
        address &= kBtAddressMask;
    }
    if (cp) {
        partition = call.cdb[8];
    }
    if (partition >= medium_->PartitionCount()) {
        return Check(cp ? Sense::CdbField(8) : Sense::CdbField(3));
    }
    partition_ = partition;
    positionKnown_ = true;
    const uint64_t end = medium_->EndOfData(partition);
    if (call.AsksImmediate()) {
        StartImmediate(Operation::Locate);
    }
    if (address > end) {
        position_ = end;
        return Check(kEndOfData);
    }
    position_ = address;
    return Result{};
}

Result Drive::ReadPosition(const Call& call)
{
    const bool bt = call.cdb[1] & 0x01;
    if (call.cdb[1] & 0x1E) {
        return Check(Sense::CdbField(1));  // only the short form
    }
    std::vector<uint8_t> answer(20, 0);
    if (!positionKnown_) {
        answer[0] = 0x04;  // BPU
        return call.Send(answer, answer.size());
    }
    const uint32_t partition = partition_;
    const uint64_t position = position_;
    const bool atEnd = position == EndOfData();
    answer[0] = static_cast<uint8_t>((position == 0 ? 0x80 : 0) |
                                     (atEnd && Remaining(partition) == 0 ? 0x40 : 0));
    answer[1] = static_cast<uint8_t>(partition);
    const uint32_t address =
        bt ? (partition << kBtPartitionShift) | static_cast<uint32_t>(position & kBtAddressMask)
           : static_cast<uint32_t>(position);
    PutBe32(&answer[4], address);
    PutBe32(&answer[8], address);  // nothing waits in the buffer
    return call.Send(answer, answer.size());
}

}  // namespace sim
