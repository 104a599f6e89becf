// A cartridge's marks as the drive asks about them: each question one or two lookups in the
// index of marks by kind and rank, whatever the distance travelled.
#include "store/db_medium.h"

namespace store {

namespace {

}  // namespace

uint64_t DbMedium::MarksBefore(uint32_t partition, uint64_t address, sim::ObjectKind kind) const
{
    db_.Seal();
    lastOfKind_->Bind(1, partition).Bind(2, static_cast<int64_t>(kind)).Bind(3, Signed(address));
    uint64_t marks = 0;
    if (lastOfKind_->Step()) {
        const auto start = static_cast<uint64_t>(lastOfKind_->Int(0));
        const auto count = static_cast<uint64_t>(lastOfKind_->Int(1));
        marks = static_cast<uint64_t>(lastOfKind_->Int(2)) + std::min(count, address - start);
    }
    lastOfKind_->Reset();
    return marks;
}

std::optional<uint64_t> DbMedium::MarkWithRank(uint32_t partition, uint64_t rank,
                                               sim::ObjectKind kind) const
{
    db_.Seal();
    byRank_->Bind(1, partition).Bind(2, static_cast<int64_t>(kind)).Bind(3, Signed(rank));
    std::optional<uint64_t> address;
    if (byRank_->Step()) {
        const auto start = static_cast<uint64_t>(byRank_->Int(0));
        const auto count = static_cast<uint64_t>(byRank_->Int(1));
        const auto first = static_cast<uint64_t>(byRank_->Int(2));
        if (rank < first + count) {
            address = start + (rank - first);
        }
    }
    byRank_->Reset();
    return address;
}

sim::MarkSearch DbMedium::FindMark(uint32_t partition, uint64_t from, bool forward,
                                   sim::ObjectKind kind, uint64_t count) const
{
    const uint64_t before = MarksBefore(partition, from, kind);
    sim::MarkSearch search;
    if (forward) {
        search.address = MarkWithRank(partition, before + count - 1, kind);
        search.passed =
            search.address ? count : MarksBefore(partition, EndOfData(partition), kind) - before;
        return search;
    }
    if (count <= before) {
        search.address = MarkWithRank(partition, before - count, kind);
        search.passed = count;
    } else {
        search.passed = before;
    }
    return search;
}

uint64_t DbMedium::CountMarks(uint32_t partition, uint64_t from, uint64_t to,
                              sim::ObjectKind kind) const
{
    if (to <= from) {
        return 0;
    }
    return MarksBefore(partition, to, kind) - MarksBefore(partition, from, kind);
}

std::optional<uint64_t> DbMedium::FindMarkRun(uint32_t partition, uint64_t from, bool forward,
                                              sim::ObjectKind kind, uint64_t run) const
{
    db_.Seal();
    // Rows of the kind in the direction of travel; a row that starts where the run so far ends
    // (or, going back, ends where it starts) continues it, anything else starts a new one.
    Statement& rows = forward ? *marksAfter_ : *marksBefore_;
    if (forward) {
        // From the row that holds or precedes `from`, so the index range starts there.
        uint64_t lowest = 0;
        lastOfKind_->Bind(1, partition)
            .Bind(2, static_cast<int64_t>(kind))
            .Bind(3, Signed(from + 1));
        if (lastOfKind_->Step()) {
            lowest = static_cast<uint64_t>(lastOfKind_->Int(0));
        }
        lastOfKind_->Reset();
        rows.Bind(4, Signed(lowest));
    }
    rows.Bind(1, partition).Bind(2, static_cast<int64_t>(kind)).Bind(3, Signed(from));
    std::optional<uint64_t> found;
    uint64_t runStart = 0;
    uint64_t runEnd = 0;
    while (rows.Step()) {
        uint64_t start = static_cast<uint64_t>(rows.Int(0));
        uint64_t end = start + static_cast<uint64_t>(rows.Int(1));
        start = forward ? std::max(start, from) : start;
        end = forward ? end : std::min(end, from);
        const bool joins = runEnd > runStart && (forward ? start == runEnd : end == runStart);
        if (!joins) {
            runStart = start;
            runEnd = end;
        } else if (forward) {
            runEnd = end;
        } else {
            runStart = start;
        }
        if (runEnd - runStart >= run) {
            found = forward ? runStart : runEnd - run;
            break;
        }
    }
    rows.Reset();
    return found;
}

}  // namespace store
