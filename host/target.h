// The one road from the class-driver stand-in to a drive: execute one command block with
// data in or out, and return the SCSI status, the sense bytes and the count moved. A
// scripted target, the simulated drive and real transports all plug in here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

enum class Direction { None, In, Out };

// SCSI status bytes a target may return.
inline constexpr uint8_t kScsiGood = 0x00;
inline constexpr uint8_t kScsiCheckCondition = 0x02;
inline constexpr uint8_t kScsiBusy = 0x08;
inline constexpr uint8_t kScsiReservationConflict = 0x18;

struct ScsiCommand {
    const uint8_t* cdb = nullptr;
    size_t cdbLength = 0;
    Direction direction = Direction::None;
    uint8_t* data = nullptr;  // In: room for the answer; Out: the bytes to send
    size_t dataLength = 0;    // the request block's DataTransferLength
    uint32_t timeoutSeconds = 0;
};

// Why a command got no SCSI answer; the stand-in turns each into its own tape status.
enum class TransportFault {
    Lost,      // no connection to the drive, or it broke while the command was out
    TimedOut,  // no answer within the request block's time-out
    Reset,     // a bus or device reset aborted the command
    Busy,      // the path to the drive was busy; nothing was carried out
    Garbled,   // the answer broke the transport's own rules and cannot be trusted
};

struct ScsiAnswer {
    uint8_t status = kScsiGood;
    std::vector<uint8_t> sense;    // fixed-format sense when status is CHECK CONDITION
    size_t transferred = 0;        // bytes moved in the data phase
    bool transportFailed = false;  // the command never reached the drive or got no answer
    TransportFault fault = TransportFault::Lost;  // why, when transportFailed
    std::string transportError;                   // the transport's own words, when it has any
};

class Target {
public:
    virtual ~Target() = default;
    virtual ScsiAnswer Execute(const ScsiCommand& command) = 0;
    // Whether this target is handed the request's own buffer rather than a copy: only one
    // that writes nothing into data going out and, coming in, nothing but zeros past what it
    // reports moved (a drive in this process). Any other target works on a copy.
    virtual bool TouchesOnlyWhatItMoves() const { return false; }
};

}  // namespace host
