// The simulated drive's commands on the cartridge as a whole: LOAD UNLOAD, PREVENT ALLOW MEDIUM
// REMOVAL and ERASE.
#include "sim/drive_internal.h"

namespace sim {

Result Drive::LoadUnload(const Call& call)
{
    const uint8_t what = call.cdb[4];
    if (what & 0xFE) {
        return Check(Sense::CdbField(4));  // no retension, no unload at end of tape
    }
    if (!medium_) {
        return Check(kMediumNotPresent);
    }
    const bool load = what & 0x01;
    if (!load && prevented_) {
        return Check(kMediumRemovalPrevented);
    }
    // Both ways the tape ends at the beginning of the first partition.
    loaded_ = load;
    partition_ = 0;
    position_ = 0;
    positionKnown_ = true;
    if (call.AsksImmediate()) {
        StartImmediate(load ? Operation::Load : Operation::Unload);
    }
    return Result{};
}

Result Drive::PreventAllow(const Call& call)
{
    const uint8_t prevent = call.cdb[4];
    if (prevent > 1) {
        return Check(Sense::CdbField(4));
    }
    prevented_ = prevent == 1;
    return Result{};
}

Result Drive::Erase(const Call& call)
{
    const bool longErase = call.cdb[1] & 0x01;
    if (!longErase) {
        // A DAT drive has no short erase: the gap it would write means nothing on DDS.
        return Check(Sense::CdbField(1, 0));
    }
    if (auto refused = StartRecording()) {
        return *refused;
    }
    if (call.AsksImmediate()) {
        StartImmediate(Operation::Erase);
    }
    return Result{};
}

}  // namespace sim
