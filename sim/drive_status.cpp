// The simulated drive's commands that tell of the drive itself and leave the tape alone:
// TEST UNIT READY, REQUEST SENSE, READ BLOCK LIMITS and INQUIRY.
#include "sim/drive_internal.h"

namespace sim {

Result Drive::TestUnitReady(const Call& /*call*/)
{
    return Result{};
}

Result Drive::RequestSense(const Call& call)
{
    // The sense of the drive's present condition, delivered as data with GOOD status.
    Result built;
    if (!unitAttentions_.empty()) {
        const auto ua = unitAttentions_.front();
        unitAttentions_.pop_front();
        built = Check(Sense::Make(kKeyUnitAttention, ua.first, ua.second));
    } else if (running_ != Operation::None) {
        built = BusyNotReady(running_);
    } else if (auto notReady = NotReady()) {
        built = *notReady;
    } else {
        built = Check(Sense{});
    }
    return call.Send(built.sense, call.cdb[4]);
}

Result Drive::ReadBlockLimits(const Call& call)
{
    std::vector<uint8_t> answer(6, 0);
    PutBe24(&answer[1], kMaximumBlockLength);
    PutBe16(&answer[4], 1);
    return call.Send(answer, answer.size());
}

Result Drive::Inquiry(const Call& call)
{
    const bool evpd = call.cdb[1] & 0x01;
    if (call.cdb[1] & 0x02) {
        return Check(Sense::CdbField(1, 1));
    }
    const uint8_t page = call.cdb[2];
    std::vector<uint8_t> answer;
    const Identity& id = options_.identity;
    if (!evpd) {
        if (page != 0) {
            return Check(Sense::CdbField(2));
        }
        answer.assign(36, 0);
        answer[0] = id.peripheralDeviceType & 0x1F;
        answer[1] = 0x80;  // removable medium
        answer[2] = 0x02;  // SCSI-2
        answer[3] = 0x02;  // response data format
        answer[4] = static_cast<uint8_t>(answer.size() - 5);
        PadCopy(&answer[8], id.vendor, 8);
        PadCopy(&answer[16], id.product, 16);
        PadCopy(&answer[32], id.revision, 4);
    } else if (page == 0x00) {
        answer = {
            static_cast<uint8_t>(id.peripheralDeviceType & 0x1F), 0x00, 0x00, 0x02, 0x00, 0x80};
    } else if (page == 0x80) {
        answer = {static_cast<uint8_t>(id.peripheralDeviceType & 0x1F), 0x80, 0x00,
                  static_cast<uint8_t>(id.serialNumber.size())};
        answer.insert(answer.end(), id.serialNumber.begin(), id.serialNumber.end());
    } else {
        return Check(Sense::CdbField(2));
    }
    return call.Send(answer, call.cdb[4]);
}

}  // namespace sim
