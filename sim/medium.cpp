// What every medium can answer from its other questions: the search for a run of consecutive
// marks, one mark of the kind at a time through the mark index.
#include "sim/medium.h"

namespace sim {

std::optional<uint64_t> Medium::FindMarkRun(uint32_t partition, uint64_t from, bool forward,
                                            ObjectKind kind, uint64_t run) const
{
    const auto wholeRun = [&](uint64_t start) {
        return CountMarks(partition, start, start + run, kind) == run;
    };
    if (forward) {
        for (MarkSearch mark = FindMark(partition, from, true, kind, 1); mark.address;
             mark = FindMark(partition, *mark.address + 1, true, kind, 1)) {
            if (wholeRun(*mark.address)) {
                return mark.address;
            }
        }
        return std::nullopt;
    }
    for (MarkSearch mark = FindMark(partition, from, false, kind, 1); mark.address;
         mark = FindMark(partition, *mark.address, false, kind, 1)) {
        const uint64_t end = *mark.address + 1;
        if (end >= run && wholeRun(end - run)) {
            return end - run;
        }
    }
    return std::nullopt;
}

}  // namespace sim
