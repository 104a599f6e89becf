// A tiny miniclass for the stand-in's own tests: every routine forwards to a std::function the
// test sets, and every call is recorded as the routine saw it on entry.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "host/classdriver.h"
#include "host/scripted_target.h"
#include "platform/tapeclass.h"

namespace fake {

// What a routine saw on entry to one call.
struct CallSeen {
    ULONG callNumber;
    TAPE_STATUS lastStatus;
    ULONG retryFlags;
    ULONG srbFlags;
    ULONG timeOutValue;
    ULONG dataTransferLength;
    UCHAR cdbLength;
    UCHAR senseInfoBufferLength;
    PVOID dataBuffer;
    PVOID senseInfoBuffer;
    PVOID minitapeExtension;
    PVOID commandParameters;
    std::vector<uint8_t> commandExtension;  // as it was on entry
};

struct TapeErrorSeen {
    TAPE_STATUS status;
    std::vector<uint8_t> sense;  // SenseInfoBufferLength bytes at SenseInfoBuffer
};

using Step =
    std::function<TAPE_STATUS(PVOID commandExtension, PSCSI_REQUEST_BLOCK srb, ULONG callNumber,
                              TAPE_STATUS lastStatus, PULONG retryFlags)>;

// Shared state of the fake driver; Reset() before each test.
struct State {
    TAPE_INIT_DATA registration{};  // what the entry registers (routines filled by Reset)
    ULONG entryResult = 0;          // 0: return TapeClassInitialize's status
    bool entryRegisters = true;
    Step step;
    std::vector<CallSeen> entries;
    std::vector<TapeErrorSeen> tapeErrors;
    bool claim = true;
    unsigned verifyCalls = 0;
    unsigned extensionInitCalls = 0;
    std::vector<uint8_t> inquirySeen;  // the 96 bytes VerifyInquiry was given
};
State& state();
void Reset();

ULONG TAPECALL Entry(PVOID driverObject, PVOID registryPath);
TAPE_STATUS TAPECALL Routine(PVOID minitapeExtension, PVOID commandExtension,
                             PVOID commandParameters, PSCSI_REQUEST_BLOCK srb, ULONG callNumber,
                             TAPE_STATUS lastStatus, PULONG retryFlags);

// Reset, the fake driver loaded, and a device claimed on `target` (FAKE DRIVE), the target's
// record of the discovery cleared: where the stand-in's tests of one device start.
std::optional<host::Device> Claimed(host::ClassDriver& driver, host::ScriptedTarget& target);

// Fills the block with a 6-byte command of this opcode and transfer length.
void Build6(PSCSI_REQUEST_BLOCK srb, uint8_t opcode, ULONG dataTransferLength);

}  // namespace fake
