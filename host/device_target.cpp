// The shared half of a real device target: command checks, time-outs, sense and residuals,
// the same for every transport, so an iSCSI and a SCSI generic device answer alike.
#include "host/device_target.h"

#include <algorithm>

#include "host/scsi.h"

namespace host {
namespace {

constexpr std::chrono::milliseconds kShortestTimeout{1000};
constexpr size_t kVendorLength = 8;
constexpr size_t kProductLength = 16;
constexpr size_t kRevisionLength = 4;

std::string Field(const uint8_t* data, size_t length, size_t at, size_t width)
{
    if (at >= length) {
        return {};
    }
    std::string text(reinterpret_cast<const char*>(data + at), std::min(width, length - at));
    // Inquiry fields are blank-padded ASCII; anything unprintable is shown, not trusted.
    for (char& c : text) {
        if (c < ' ' || c > '~') {
            c = '?';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

}  // namespace

Identity IdentityFromInquiry(const uint8_t* data, size_t length)
{
    Identity identity;
    if (data == nullptr) {
        return identity;
    }
    if (length > kInquiryDeviceTypeByte) {
        identity.deviceType = data[kInquiryDeviceTypeByte] & kInquiryDeviceTypeMask;
    }
    identity.vendor = Field(data, length, kInquiryVendorByte, kVendorLength);
    identity.product = Field(data, length, kInquiryProductByte, kProductLength);
    identity.revision = Field(data, length, kInquiryRevisionByte, kRevisionLength);
    return identity;
}

std::string IdentityText(const Identity& identity)
{
    return "'" + identity.vendor + "' '" + identity.product + "' rev '" + identity.revision + "'";
}

bool ToWire(const ScsiCommand& command, std::chrono::milliseconds ceiling, WireCommand& wire,
            std::string& error)
{
    if (command.cdb == nullptr || command.cdbLength == 0 || command.cdbLength > kMaxCdbLength) {
        error = "a command block of " + std::to_string(command.cdbLength) +
                " bytes cannot be sent (1 to 16)";
        return false;
    }
    wire = WireCommand{};
    wire.cdb = command.cdb;
    wire.cdbLength = command.cdbLength;
    // A data phase needs both a direction and bytes; either alone is no data phase.
    if (command.direction != Direction::None && command.dataLength > 0) {
        if (command.data == nullptr) {
            error =
                "a transfer of " + std::to_string(command.dataLength) + " bytes without a buffer";
            return false;
        }
        wire.direction = command.direction;
        wire.data = command.data;
        wire.length = command.dataLength;
    }
    // A zero time-out would mean "wait forever" to some transports; the request never hangs.
    wire.timeout = std::max(std::chrono::milliseconds(std::chrono::seconds(command.timeoutSeconds)),
                            kShortestTimeout);
    if (ceiling.count() > 0) {
        wire.timeout = std::min(wire.timeout, ceiling);
    }
    return true;
}

ScsiAnswer ToAnswer(const WireCommand& command, const WireAnswer& wire)
{
    ScsiAnswer answer;
    if (!wire.delivered) {
        answer.transportFailed = true;
        answer.fault = wire.fault;
        answer.transportError = wire.error;
        return answer;
    }
    size_t moved = command.length;
    if (wire.residualKind == ResidualKind::Underflow) {
        if (wire.residual > command.length) {
            answer.transportFailed = true;
            answer.fault = TransportFault::Garbled;
            answer.transportError = "the device reported " + std::to_string(wire.residual) +
                                    " bytes not moved of a transfer of " +
                                    std::to_string(command.length);
            return answer;
        }
        moved -= wire.residual;
    }
    // An overflow moved the whole transfer; the sense (ILI) says the rest was cut off.
    answer.status = wire.status;
    answer.transferred = command.direction == Direction::None ? 0 : moved;
    if (wire.status == kScsiCheckCondition) {
        answer.sense.assign(wire.sense.begin(),
                            wire.sense.begin() + static_cast<std::ptrdiff_t>(
                                                     std::min(wire.sense.size(), kMaxSenseLength)));
    }
    return answer;
}

ScsiAnswer DeviceTarget::Execute(const ScsiCommand& command)
{
    WireCommand wire;
    std::string error;
    if (!ToWire(command, ceiling_, wire, error)) {
        ScsiAnswer refused;
        refused.transportFailed = true;
        refused.fault = TransportFault::Garbled;
        refused.transportError = "not sent: " + error;
        lastError_ = refused.transportError;
        return refused;
    }
    ScsiAnswer answer = ToAnswer(wire, transport_->Exchange(wire));
    lastError_ = answer.transportFailed ? answer.transportError : std::string();
    return answer;
}

}  // namespace host
