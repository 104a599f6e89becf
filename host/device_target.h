// A real SCSI tape device behind the host's target interface. Everything the transports share
// lives here: checking and bounding the command block, the data phase, the time-out, reading
// status, sense and residual back, and saying which device and transport are in use. A
// transport (iSCSI, SCSI generic) supplies only the exchange itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/target.h"

namespace host {

// How a transport reports the bytes that did not move.
enum class ResidualKind {
    None,       // everything asked for moved
    Underflow,  // `residual` bytes of the transfer were not moved
    Overflow,   // the device had `residual` bytes more than the transfer could carry
};

// One command as a transport carries it, already checked: the CDB fits 16 bytes, data and
// length agree with the direction, and the time-out is never zero.
struct WireCommand {
    const uint8_t* cdb = nullptr;
    size_t cdbLength = 0;
    Direction direction = Direction::None;
    uint8_t* data = nullptr;
    size_t length = 0;
    std::chrono::milliseconds timeout{0};
};

// What came back, in the transport's raw terms.
struct WireAnswer {
    bool delivered = false;  // a SCSI status arrived; otherwise `fault` and `error` say why
    TransportFault fault = TransportFault::Lost;
    std::string error;
    uint8_t status = kScsiGood;
    std::vector<uint8_t> sense;  // the sense bytes the device sent, as it sent them
    ResidualKind residualKind = ResidualKind::None;
    size_t residual = 0;
};

class Transport {
public:
    virtual ~Transport() = default;
    // Carries one command and waits at most command.timeout for its answer.
    virtual WireAnswer Exchange(const WireCommand& command) = 0;
    // "iSCSI (libiscsi)", "SCSI generic (SG_IO)".
    virtual std::string Kind() const = 0;
    // Where the device is, never with a secret in it.
    virtual std::string Address() const = 0;
};

// The standard inquiry fields as a person reads them, trailing blanks removed.
struct Identity {
    std::string vendor;
    std::string product;
    std::string revision;
    uint8_t deviceType = 0;  // peripheral device type (1: sequential access)
};
Identity IdentityFromInquiry(const uint8_t* data, size_t length);
std::string IdentityText(const Identity& identity);  // "VELM QT-7310 rev 0100"

// The transport-neutral half of every exchange: the answer the class-driver stand-in gets.
// Sense travels only with CHECK CONDITION; data moved is the transfer minus an underflow
// residual; a residual larger than the transfer is garbled, never trusted.
ScsiAnswer ToAnswer(const WireCommand& command, const WireAnswer& wire);

// The command the transport gets, or an error when the block cannot be carried (CDB length
// 0 or above 16, data length without a buffer). `ceiling` bounds the time-out when not zero.
bool ToWire(const ScsiCommand& command, std::chrono::milliseconds ceiling, WireCommand& wire,
            std::string& error);

class DeviceTarget : public Target {
public:
    explicit DeviceTarget(std::unique_ptr<Transport> transport) : transport_(std::move(transport))
    {
    }

    ScsiAnswer Execute(const ScsiCommand& command) override;

    // "iSCSI (libiscsi) 127.0.0.1:3260 iqn.1997-08.com.velm:qt7310 LUN 1".
    std::string Describe() const { return transport_->Kind() + " " + transport_->Address(); }
    const Transport& transport() const { return *transport_; }
    // The last failure of the transport, empty while commands are answered.
    const std::string& lastError() const { return lastError_; }
    // A shorter bound than the request block's time-out (zero: none), for callers that
    // cannot wait as long as the drive may take.
    void SetTimeoutCeiling(std::chrono::milliseconds ceiling) { ceiling_ = ceiling; }

private:
    std::unique_ptr<Transport> transport_;
    std::string lastError_;
    std::chrono::milliseconds ceiling_{0};
};

}  // namespace host
