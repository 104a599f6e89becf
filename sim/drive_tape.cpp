// The simulated drive's commands that move over or change the tape: READ, WRITE, WRITE
// FILEMARKS, SPACE, ERASE, LOCATE and READ POSITION, each reaching the tape through the medium.
#include "sim/drive_internal.h"

namespace sim {

Result Drive::Read(const Call& call)
{
    const bool fixed = call.cdb[1] & 0x01;
    const bool sili = call.cdb[1] & 0x02;
    const uint32_t length = GetBe24(&call.cdb[2]);
    if (fixed && sili) {
        return Check(Sense::CdbField(1, 1));
    }
    if (fixed && settings_.blockLength == 0) {
        return Check(Sense::CdbField(1, 0));
    }
    if (length == 0) {
        return Result{};
    }
    const uint64_t expected = fixed ? uint64_t(length) * settings_.blockLength : length;
    // The tape would move past data the initiator has no room for.
    if (call.direction != Direction::In || call.data == nullptr || call.dataLength < expected) {
        return Check(Sense::DataPhase());
    }
    if (!positionKnown_) {
        return Check(Sense::Make(kKeyMediumError, 0x3B, 0x00));
    }
    const Medium& medium = *medium_;
    const uint64_t end = EndOfData();
    if (fixed) {
        const uint32_t blockLength = settings_.blockLength;
        size_t out = 0;
        uint32_t done = 0;
        while (done < length) {
            // Runs of blocks of the drive's length come off the tape together.
            const uint64_t run = medium.ReadBlocks(partition_, position_, blockLength,
                                                   length - done, call.data + out);
            position_ += run;
            done += static_cast<uint32_t>(run);
            out += static_cast<size_t>(run * blockLength);
            if (done == length) {
                break;
            }
            if (position_ == end) {
                return Check(
                    Sense::Make(kKeyBlankCheck, 0x00, 0x05).Info(length - done).Moved(out));
            }
            const ObjectInfo object = medium.At(partition_, position_++);
            if (object.kind == ObjectKind::Filemark) {
                return Check(Sense::Make(kKeyNoSense, 0x00, 0x01)
                                 .Flags(kSenseFilemark)
                                 .Info(length - done)
                                 .Moved(out));
            }
            if (object.kind == ObjectKind::Setmark) {
                if (SetmarkVisible()) {
                    return Check(Sense::Make(kKeyNoSense, 0x00, 0x03)
                                     .Flags(kSenseFilemark)
                                     .Info(length - done)
                                     .Moved(out));
                }
                continue;
            }
            // A block of another length: passed over; the count excludes it.
            return Check(Sense::Make(kKeyNoSense, 0x00, 0x00)
                             .Flags(kSenseIli)
                             .Info(length - done)
                             .Moved(out));
        }
        Result result;
        result.transferred = out;
        return result;
    }
    while (true) {
        if (position_ == end) {
            return Check(Sense::Make(kKeyBlankCheck, 0x00, 0x05).Info(length));
        }
        const uint64_t address = position_++;
        const ObjectInfo object = medium.At(partition_, address);
        if (object.kind == ObjectKind::Filemark) {
            return Check(Sense::Make(kKeyNoSense, 0x00, 0x01).Flags(kSenseFilemark).Info(length));
        }
        if (object.kind == ObjectKind::Setmark) {
            if (SetmarkVisible()) {
                return Check(
                    Sense::Make(kKeyNoSense, 0x00, 0x03).Flags(kSenseFilemark).Info(length));
            }
            continue;
        }
        const size_t n = std::min<size_t>(object.length, length);
        if (n == object.length) {
            medium.ReadBlock(partition_, address, call.data);
        } else if (n > 0) {
            // The initiator has room for the head of the block only.
            std::vector<uint8_t> block(object.length);
            medium.ReadBlock(partition_, address, block.data());
            std::memcpy(call.data, block.data(), n);
        }
        const bool overlength = object.length > length;
        const bool underlength = object.length < length;
        // SILI forgives a short block only: the tail of a long one is lost, and that is never
        // passed over in silence.
        const bool report = overlength || (underlength && !sili);
        if (report) {
            return Check(Sense::Make(kKeyNoSense, 0x00, 0x00)
                             .Flags(kSenseIli)
                             .Info(int64_t(length) - int64_t(object.length))
                             .Moved(n));
        }
        Result result;
        result.transferred = n;
        return result;
    }
}

Result Drive::Write(const Call& call)
{
    const bool fixed = call.cdb[1] & 0x01;
    const uint32_t length = GetBe24(&call.cdb[2]);
    if (call.cdb[1] & 0x1E) {
        return Check(Sense::CdbField(1));
    }
    if (fixed && settings_.blockLength == 0) {
        return Check(Sense::CdbField(1, 0));
    }
    if (length == 0) {
        return Result{};
    }
    const uint64_t expected = fixed ? uint64_t(length) * settings_.blockLength : length;
    if (call.direction != Direction::Out || call.data == nullptr || call.dataLength != expected) {
        return Check(Sense::DataPhase());
    }
    if (medium_->WriteProtected()) {
        return Check(Sense::Make(kKeyDataProtect, 0x27, 0x00));
    }
    if (!positionKnown_) {
        return Check(Sense::Make(kKeyMediumError, 0x3B, 0x00));
    }
    Truncate();
    const uint64_t room = Remaining(partition_);
    if (!fixed) {
        if (length > room) {
            return Check(Sense::Make(kKeyVolumeOverflow, 0x00, 0x02).Flags(kSenseEom).Info(length));
        }
        medium_->AppendBlocks(partition_, call.data, length, 1);
        ++position_;
        Result result;
        result.transferred = length;
        return result;
    }
    const uint64_t fits = std::min<uint64_t>(length, room / settings_.blockLength);
    if (fits > 0) {
        medium_->AppendBlocks(partition_, call.data, settings_.blockLength, fits);
        position_ += fits;
    }
    const size_t moved = static_cast<size_t>(fits * settings_.blockLength);
    if (fits < length) {
        return Check(Sense::Make(kKeyVolumeOverflow, 0x00, 0x02)
                         .Flags(kSenseEom)
                         .Info(length - fits)
                         .Moved(moved));
    }
    Result result;
    result.transferred = moved;
    return result;
}

Result Drive::WriteFilemarks(const Call& call)
{
    const bool immediate = call.cdb[1] & 0x01;
    const bool setmarks = call.cdb[1] & 0x02;
    const uint32_t count = GetBe24(&call.cdb[2]);
    if (call.cdb[1] & 0x1C) {
        return Check(Sense::CdbField(1));
    }
    if (count > 0) {
        if (medium_->WriteProtected()) {
            return Check(Sense::Make(kKeyDataProtect, 0x27, 0x00));
        }
        if (!positionKnown_) {
            return Check(Sense::Make(kKeyMediumError, 0x3B, 0x00));
        }
        Truncate();
        medium_->AppendMarks(partition_, setmarks ? ObjectKind::Setmark : ObjectKind::Filemark,
                             count);
        position_ += count;
    }
    if (immediate) {
        StartImmediate(Operation::WriteMarks);
    }
    return Result{};
}

Result Drive::Space(const Call& call)
{
    const uint8_t code = call.cdb[1] & 0x07;
    const int32_t count = SignExtend24(GetBe24(&call.cdb[2]));
    if (call.cdb[1] & 0x18) {
        return Check(Sense::CdbField(1));
    }
    if (code > 5) {
        return Check(Sense::CdbField(1, 2));
    }
    if (!positionKnown_ && code != 3) {
        return Check(Sense::Make(kKeyMediumError, 0x3B, 0x00));
    }
    if (code == 3) {
        position_ = EndOfData();
        positionKnown_ = true;
        return Result{};
    }
    if (count == 0) {
        return Result{};
    }
    switch (code) {
    case 0:
        return SpaceCounting(ObjectKind::Block, count);
    case 1:
        return SpaceCounting(ObjectKind::Filemark, count);
    case 2:
        return SpaceSequential(ObjectKind::Filemark, count);
    case 4:
        return SpaceCounting(ObjectKind::Setmark, count);
    default:
        return SpaceSequential(ObjectKind::Setmark, count);
    }
}

// SPACE ran into end of data going forward, or the beginning of the partition going back:
// the residue is what was left undone, negative for a reverse space.
Result Drive::SpaceOffTheEnd(bool forward, int64_t undone)
{
    if (forward) {
        return Check(Sense::Make(kKeyBlankCheck, 0x00, 0x05).Info(undone));
    }
    return Check(Sense::Make(kKeyNoSense, 0x00, 0x04).Flags(kSenseEom).Info(-undone));
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
        const bool stops = kind == ObjectKind::Filemark ? counted == ObjectKind::Block
                                                        : counted != ObjectKind::Setmark &&
                                                              SetmarkVisible();
        if (!stops) {
            continue;
        }
        const MarkSearch found = medium_->FindMark(partition_, from, forward, kind, 1);
        if (found.address && (!stop || (forward ? *found.address < stop->first
                                                : *found.address > stop->first))) {
            stop = std::make_pair(*found.address, kind);
        }
    }
    const auto stopAt = [&](uint64_t done) {
        position_ = forward ? stop->first + 1 : stop->first;
        const bool filemark = stop->second == ObjectKind::Filemark;
        return Check(Sense::Make(kKeyNoSense, 0x00, filemark ? 0x01 : 0x03)
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
            const uint64_t skipped =
                forward ? marksIn(from, at, ObjectKind::Setmark) : marksIn(at, from, ObjectKind::Setmark);
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
// the run's last mark, back before its first. Only marks of the kind are visited, each with a
// lookup in the medium's index.
Result Drive::SpaceSequential(ObjectKind kind, int32_t count)
{
    const uint64_t run = count > 0 ? uint64_t(count) : uint64_t(-int64_t(count));
    const auto wholeRun = [&](uint64_t start) {
        return medium_->CountMarks(partition_, start, start + run, kind) == run;
    };
    if (count > 0) {
        MarkSearch mark = medium_->FindMark(partition_, position_, true, kind, 1);
        while (mark.address) {
            if (wholeRun(*mark.address)) {
                position_ = *mark.address + run;  // past the last mark of the run
                return Result{};
            }
            mark = medium_->FindMark(partition_, *mark.address + 1, true, kind, 1);
        }
        position_ = EndOfData();
        return Check(Sense::Make(kKeyBlankCheck, 0x00, 0x05).Info(count));
    }
    MarkSearch mark = medium_->FindMark(partition_, position_, false, kind, 1);
    while (mark.address) {
        const uint64_t end = *mark.address + 1;
        if (end >= run && wholeRun(end - run)) {
            position_ = end - run;  // before the first mark of the run
            return Result{};
        }
        mark = medium_->FindMark(partition_, *mark.address, false, kind, 1);
    }
    position_ = 0;
    return Check(Sense::Make(kKeyNoSense, 0x00, 0x04).Flags(kSenseEom).Info(count));
}

Result Drive::Erase(const Call& call)
{
    const bool longErase = call.cdb[1] & 0x01;
    const bool immediate = call.cdb[1] & 0x02;
    if (!longErase) {
        // A DAT drive has no short erase: the gap it would write means nothing on DDS.
        return Check(Sense::CdbField(1, 0));
    }
    if (medium_->WriteProtected()) {
        return Check(Sense::Make(kKeyDataProtect, 0x27, 0x00));
    }
    if (!positionKnown_) {
        return Check(Sense::Make(kKeyMediumError, 0x3B, 0x00));
    }
    Truncate();
    if (immediate) {
        StartImmediate(Operation::Erase);
    }
    return Result{};
}

Result Drive::Locate(const Call& call)
{
    const bool bt = call.cdb[1] & 0x04;
    const bool cp = call.cdb[1] & 0x02;
    const bool immediate = call.cdb[1] & 0x01;
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
    if (immediate) {
        StartImmediate(Operation::Locate);
    }
    if (address > end) {
        position_ = end;
        return Check(Sense::Make(kKeyBlankCheck, 0x00, 0x05));
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
