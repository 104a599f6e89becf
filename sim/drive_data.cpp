// The simulated drive's commands that carry data or marks: READ, WRITE and WRITE FILEMARKS,
// each reaching the tape through the medium.
#include "sim/drive_internal.h"

namespace sim {

// Anything recorded goes at the tape's position and ends the data there; a protected tape or
// a lost position refuses it.
std::optional<Result> Drive::StartRecording()
{
    if (medium_->WriteProtected()) {
        return Check(kWriteProtected);
    }
    if (!positionKnown_) {
        return Check(kSequentialPositioningError);
    }
    Truncate();
    return std::nullopt;
}

// A transfer of no length moves nothing; fixed blocks need a block length to count in.
std::optional<Result> Drive::CheckTransfer(bool fixed, uint32_t length, uint64_t& expected)
{
    if (fixed && settings_.blockLength == 0) {
        return Check(Sense::CdbField(1, 0));
    }
    if (length == 0) {
        return Result{};
    }
    expected = fixed ? uint64_t(length) * settings_.blockLength : length;
    return std::nullopt;
}

Result Drive::Read(const Call& call)
{
    const bool fixed = call.cdb[1] & 0x01;
    const bool sili = call.cdb[1] & 0x02;
    const uint32_t length = GetBe24(&call.cdb[2]);
    if (fixed && sili) {
        return Check(Sense::CdbField(1, 1));
    }
    uint64_t expected = 0;
    if (auto answer = CheckTransfer(fixed, length, expected)) {
        return *answer;
    }
    // The tape would move past data the initiator has no room for.
    if (call.direction != Direction::In || call.data == nullptr || call.dataLength < expected) {
        return Check(Sense::DataPhase());
    }
    if (!positionKnown_) {
        return Check(kSequentialPositioningError);
    }
    return fixed ? ReadFixed(call, length) : ReadVariable(call, length, sili);
}

// Fixed blocks of the drive's length; anything else on the way ends the transfer with the
// residue in blocks.
Result Drive::ReadFixed(const Call& call, uint32_t length)
{
    const Medium& medium = *medium_;
    const uint64_t end = EndOfData();
    const uint32_t blockLength = settings_.blockLength;
    size_t out = 0;
    uint32_t done = 0;
    while (done < length) {
        // Runs of blocks of the drive's length come off the tape together.
        const uint64_t run =
            medium.ReadBlocks(partition_, position_, blockLength, length - done, call.data + out);
        position_ += run;
        done += static_cast<uint32_t>(run);
        out += static_cast<size_t>(run * blockLength);
        if (done == length) {
            break;
        }
        if (position_ == end) {
            return Check(Sense::Of(kEndOfData).Info(length - done).Moved(out));
        }
        const ObjectInfo object = medium.At(partition_, position_);
        if (object.kind == ObjectKind::Block && object.length == blockLength) {
            // The run stopped at a block of the right length: it cannot be read. The tape
            // stays before it, so spacing over it reaches what follows.
            return Check(Sense::Of(kUnrecoveredReadError).Info(int64_t(position_)).Moved(out));
        }
        ++position_;
        if (object.kind == ObjectKind::Filemark) {
            return Check(
                Sense::Of(kFilemarkDetected).Flags(kSenseFilemark).Info(length - done).Moved(out));
        }
        if (object.kind == ObjectKind::Setmark) {
            if (SetmarkVisible()) {
                return Check(Sense::Of(kSetmarkDetected)
                                 .Flags(kSenseFilemark)
                                 .Info(length - done)
                                 .Moved(out));
            }
            continue;
        }
        // A block of another length: passed over; the count excludes it.
        return Check(Sense::Of(kNoAdditionalSense).Flags(kSenseIli).Info(length - done).Moved(out));
    }
    return Transferred(out);
}

// One block of any length; the residue is the difference in bytes.
Result Drive::ReadVariable(const Call& call, uint32_t length, bool sili)
{
    const Medium& medium = *medium_;
    const uint64_t end = EndOfData();
    while (true) {
        if (position_ == end) {
            return Check(Sense::Of(kEndOfData).Info(length));
        }
        const uint64_t address = position_++;
        const ObjectInfo object = medium.At(partition_, address);
        if (object.kind == ObjectKind::Filemark) {
            return Check(Sense::Of(kFilemarkDetected).Flags(kSenseFilemark).Info(length));
        }
        if (object.kind == ObjectKind::Setmark) {
            if (SetmarkVisible()) {
                return Check(Sense::Of(kSetmarkDetected).Flags(kSenseFilemark).Info(length));
            }
            continue;
        }
        const size_t n = std::min<size_t>(object.length, length);
        bool readable = true;
        if (n == object.length) {
            readable = medium.ReadBlock(partition_, address, call.data);
        } else if (n > 0) {
            // The initiator has room for the head of the block only.
            std::vector<uint8_t> block(object.length);
            readable = medium.ReadBlock(partition_, address, block.data());
            std::memcpy(call.data, block.data(), readable ? n : 0);
        }
        if (!readable) {
            // Nothing of a block that cannot be read is handed out; the tape stays before it.
            position_ = address;
            return Check(Sense::Of(kUnrecoveredReadError).Info(int64_t(address)));
        }
        const bool overlength = object.length > length;
        const bool underlength = object.length < length;
        // SILI forgives a short block only: the tail of a long one is lost, and that is never
        // passed over in silence.
        const bool report = overlength || (underlength && !sili);
        if (report) {
            return Check(Sense::Of(kNoAdditionalSense)
                             .Flags(kSenseIli)
                             .Info(int64_t(length) - int64_t(object.length))
                             .Moved(n));
        }
        return Transferred(n);
    }
}

Result Drive::Write(const Call& call)
{
    const bool fixed = call.cdb[1] & 0x01;
    const uint32_t length = GetBe24(&call.cdb[2]);
    if (call.cdb[1] & 0x1E) {
        return Check(Sense::CdbField(1));
    }
    uint64_t expected = 0;
    if (auto answer = CheckTransfer(fixed, length, expected)) {
        return *answer;
    }
    if (call.direction != Direction::Out || call.data == nullptr || call.dataLength != expected) {
        return Check(Sense::DataPhase());
    }
    if (auto refused = StartRecording()) {
        return *refused;
    }
    const uint64_t room = Remaining(partition_);
    if (!fixed) {
        if (length > room) {
            return Check(Sense::Of(kEndOfPartition).Flags(kSenseEom).Info(length));
        }
        medium_->AppendBlocks(partition_, call.data, length, 1);
        ++position_;
        return Transferred(length);
    }
    const uint64_t fits = std::min<uint64_t>(length, room / settings_.blockLength);
    if (fits > 0) {
        medium_->AppendBlocks(partition_, call.data, settings_.blockLength, fits);
        position_ += fits;
    }
    const size_t moved = static_cast<size_t>(fits * settings_.blockLength);
    if (fits < length) {
        return Check(Sense::Of(kEndOfPartition).Flags(kSenseEom).Info(length - fits).Moved(moved));
    }
    return Transferred(moved);
}

Result Drive::WriteFilemarks(const Call& call)
{
    const bool setmarks = call.cdb[1] & 0x02;
    const uint32_t count = GetBe24(&call.cdb[2]);
    if (call.cdb[1] & 0x1C) {
        return Check(Sense::CdbField(1));
    }
    if (count > 0) {
        if (auto refused = StartRecording()) {
            return *refused;
        }
        medium_->AppendMarks(partition_, setmarks ? ObjectKind::Setmark : ObjectKind::Filemark,
                             count);
        position_ += count;
    }
    if (call.AsksImmediate()) {
        StartImmediate(Operation::WriteMarks);
    }
    return Result{};
}

}  // namespace sim
