// What the parts of the simulated drive share: the big-endian helpers by name, the sense record
// every refusal is built from, the command record each handler receives and the row of the command
// table that describes its operation code. Only the drive's own sources include this.
#pragma once

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bytes/big_endian.h"
#include "sim/drive.h"
#include "sim/sense_codes.h"

namespace sim {
namespace internal {

constexpr size_t kSenseLength = 18;
constexpr uint8_t kSenseCurrent = 0x70;
constexpr uint8_t kSenseValid = 0x80;
constexpr uint8_t kSenseAdditionalLength = 10;
constexpr uint8_t kSksv = 0x80;
constexpr uint8_t kSksCommand = 0x40;  // the field pointer names a CDB byte
constexpr uint8_t kSksBitValid = 0x08;

// A device-specific (BT) block address carries the partition in its top two bits.
constexpr unsigned kBtPartitionShift = 30;
constexpr uint32_t kBtAddressMask = 0x3FFFFFFF;

using namespace bytes;  // GetBe32, PutBe24, ... by their own names

inline void PadCopy(uint8_t* dst, const std::string& text, size_t width)
{
    for (size_t i = 0; i < width; ++i) {
        dst[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
    }
}

// GOOD after a data phase that moved `bytes`.
inline Result Transferred(size_t bytes)
{
    Result result;
    result.transferred = bytes;
    return result;
}

// The sense of a refused or cut-short command, before Drive::Check lays it out as bytes.
struct Sense {
    uint8_t key = kKeyNoSense;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    uint8_t flags = 0;
    std::optional<int32_t> information;
    std::optional<uint16_t> fieldPointer;  // byte of the CDB or the parameter list
    bool inCdb = true;
    std::optional<uint8_t> bit;
    size_t transferred = 0;

    static Sense Make(uint8_t key, uint8_t asc, uint8_t ascq)
    {
        Sense s;
        s.key = key;
        s.asc = asc;
        s.ascq = ascq;
        return s;
    }
    static Sense Of(const SenseCode& code) { return Make(code.key, code.asc, code.ascq); }
    static Sense CdbField(uint16_t byte, std::optional<uint8_t> bit = std::nullopt)
    {
        Sense s = Of(kInvalidFieldInCdb);
        s.fieldPointer = byte;
        s.bit = bit;
        return s;
    }
    static Sense ListField(uint16_t byte, std::optional<uint8_t> bit = std::nullopt)
    {
        Sense s = Of(kInvalidFieldInParameterList);
        s.fieldPointer = byte;
        s.inCdb = false;
        s.bit = bit;
        return s;
    }
    static Sense ListLength() { return Of(kParameterListLengthError); }
    // The initiator's data phase does not match what the command asks for.
    static Sense DataPhase() { return Of(kDataPhaseError); }
    Sense& Info(int64_t value)
    {
        information = static_cast<int32_t>(value);
        return *this;
    }
    Sense& Flags(uint8_t f)
    {
        flags = f;
        return *this;
    }
    Sense& Moved(size_t bytes)
    {
        transferred = bytes;
        return *this;
    }
};

}  // namespace internal

using namespace internal;

// What the drive knows of one operation code: one row of the command table
// (sim/command_table.cpp), read before the handler runs.
struct Drive::CommandRow {
    uint8_t opcode;
    uint8_t cdbLength;  // 0 in the default row: an operation code this drive does not have
    // The cartridge must be in and loaded before the handler runs.
    bool needsMedium;
    // Moves or changes the tape, so it cannot run beside an immediate operation.
    bool movesMedium;
    // Answered even while a unit attention waits (the attention stays for the next command).
    bool passesUnitAttention;
    uint8_t immediateBit;  // IMMED in CDB byte 1; 0 when the command has none
    Result (Drive::*handler)(const Call& call);
};

struct Drive::Call {
    const uint8_t* cdb;
    size_t cdbLength;
    Direction direction;
    uint8_t* data;
    size_t dataLength;
    const CommandRow* row;

    bool AsksImmediate() const
    {
        return row->immediateBit != 0 && (cdb[1] & row->immediateBit) != 0;
    }

    // Answer bytes go no further than the allocation length and the initiator's buffer.
    Result Send(const std::vector<uint8_t>& answer, size_t allocation) const
    {
        const size_t room = direction == Direction::In && data != nullptr ? dataLength : 0;
        const size_t n = std::min({answer.size(), allocation, room});
        if (n > 0) {
            std::memcpy(data, answer.data(), n);
        }
        return Transferred(n);
    }
};

}  // namespace sim
