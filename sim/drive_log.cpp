// The simulated drive's log pages for LOG SENSE: the supported pages and the tape capacity page,
// counted in units of 1024 bytes from what the medium holds.
#include "sim/drive_internal.h"

namespace sim {
namespace {

constexpr uint8_t kLogReserved = 0x03;  // no saving, no parameter change tracking
constexpr uint8_t kLogPageCodeMask = 0x3F;
constexpr uint8_t kLogPageSupported = 0x00;
constexpr uint8_t kLogPageCapacity = 0x31;
constexpr size_t kCapacityParameters = 4;
constexpr size_t kLogHeaderLength = 4;
constexpr size_t kParameterLength = 8;  // 4-byte header, 4-byte value
constexpr uint64_t kLogUnitBytes = 1024;
constexpr size_t kLogValueByte = 4;

}  // namespace

Result Drive::LogSense(const Call& call)
{
    if (call.cdb[1] & kLogReserved) {
        return Check(Sense::CdbField(1));
    }
    const uint8_t page = call.cdb[2] & kLogPageCodeMask;
    const uint32_t pointer = GetBe16(&call.cdb[5]);
    const uint32_t allocation = GetBe16(&call.cdb[7]);
    std::vector<uint8_t> answer;
    if (page == kLogPageSupported) {
        if (pointer != 0) {
            return Check(Sense::CdbField(5));
        }
        answer = {kLogPageSupported, 0x00, 0x00, 0x02, kLogPageSupported, kLogPageCapacity};
        return call.Send(answer, allocation);
    }
    if (page != kLogPageCapacity) {
        return Check(Sense::CdbField(2));
    }
    if (pointer > kCapacityParameters) {
        return Check(Sense::CdbField(5));
    }
    uint64_t values[kCapacityParameters] = {};
    for (uint32_t p = 0; p < medium_->PartitionCount() && p < kMaxPartitions; ++p) {
        values[p] = Remaining(p) / kLogUnitBytes;
        values[p + 2] = medium_->PartitionCapacity(p) / kLogUnitBytes;
    }
    answer.assign(kLogHeaderLength, 0);
    answer[0] = kLogPageCapacity;
    for (uint32_t code = 1; code <= kCapacityParameters; ++code) {
        if (code < pointer) {
            continue;
        }
        const size_t at = answer.size();
        answer.resize(at + kParameterLength, 0);
        PutBe16(&answer[at], code);
        answer[at + 3] = kParameterLength - kLogValueByte;  // the value's length
        PutBe32(&answer[at + kLogValueByte],
                static_cast<uint32_t>(std::min<uint64_t>(values[code - 1], 0xFFFFFFFF)));
    }
    PutBe16(&answer[2], static_cast<uint32_t>(answer.size() - kLogHeaderLength));
    return call.Send(answer, allocation);
}

}  // namespace sim
