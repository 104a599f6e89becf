// What the parts of the simulated drive share: operation codes, sense keys and flags, page
// constants, big-endian helpers, and the command and sense records every command works with.
// Only the drive's own sources include this.
#pragma once

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sim/drive.h"

namespace sim {
namespace internal {

// Operation codes the drive knows.
constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpRewind = 0x01;
constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpReadBlockLimits = 0x05;
constexpr uint8_t kOpRead6 = 0x08;
constexpr uint8_t kOpWrite6 = 0x0A;
constexpr uint8_t kOpWriteFilemarks = 0x10;
constexpr uint8_t kOpSpace = 0x11;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpModeSelect6 = 0x15;
constexpr uint8_t kOpErase = 0x19;
constexpr uint8_t kOpModeSense6 = 0x1A;
constexpr uint8_t kOpLoadUnload = 0x1B;
constexpr uint8_t kOpPreventAllow = 0x1E;
constexpr uint8_t kOpLocate10 = 0x2B;
constexpr uint8_t kOpReadPosition = 0x34;
constexpr uint8_t kOpLogSense = 0x4D;

// Sense keys.
constexpr uint8_t kKeyNoSense = 0x0;
constexpr uint8_t kKeyNotReady = 0x2;
constexpr uint8_t kKeyMediumError = 0x3;
constexpr uint8_t kKeyIllegalRequest = 0x5;
constexpr uint8_t kKeyUnitAttention = 0x6;
constexpr uint8_t kKeyDataProtect = 0x7;
constexpr uint8_t kKeyBlankCheck = 0x8;
constexpr uint8_t kKeyAbortedCommand = 0xB;
constexpr uint8_t kKeyVolumeOverflow = 0xD;

// Flags in sense byte 2.
constexpr uint8_t kSenseFilemark = 0x80;
constexpr uint8_t kSenseEom = 0x40;
constexpr uint8_t kSenseIli = 0x20;

constexpr size_t kSenseLength = 18;
constexpr uint8_t kSenseCurrent = 0x70;
constexpr uint8_t kSenseValid = 0x80;
constexpr uint8_t kSenseAdditionalLength = 10;
constexpr uint8_t kSksv = 0x80;
constexpr uint8_t kSksCommand = 0x40;  // the field pointer names a CDB byte
constexpr uint8_t kSksBitValid = 0x08;

constexpr size_t kModeHeaderLength = 4;
constexpr size_t kBlockDescriptorLength = 8;
constexpr uint8_t kPageCodeMask = 0x3F;
constexpr uint8_t kPageSaveable = 0x80;
constexpr uint8_t kPageCompression = 0x0F;
constexpr uint8_t kPageConfiguration = 0x10;
constexpr uint8_t kPagePartition = 0x11;
constexpr uint8_t kPageAll = 0x3F;
constexpr uint8_t kConfigPageLength = 0x0E;
constexpr uint8_t kCompressionPageLength = 0x0E;
constexpr uint8_t kPartitionPageLength = 0x0A;  // two size descriptors
constexpr uint8_t kDensityKeep = 0x7F;
constexpr uint8_t kDeviceSpecificWp = 0x80;
constexpr uint8_t kBufferedMode1 = 0x10;

constexpr uint8_t kPcCurrent = 0;
constexpr uint8_t kPcChangeable = 1;
constexpr uint8_t kPcDefault = 2;

constexpr uint8_t kLogPageSupported = 0x00;
constexpr uint8_t kLogPageCapacity = 0x31;
constexpr size_t kCapacityParameters = 4;

constexpr uint64_t kBytesPerMegabyte = 1000000;
constexpr uint64_t kBytesPerKilobyte = 1000;
constexpr uint64_t kLogUnitBytes = 1024;
constexpr uint32_t kMaxPartitions = 2;

// A device-specific (BT) block address carries the partition in its top two bits.
constexpr unsigned kBtPartitionShift = 30;
constexpr uint32_t kBtAddressMask = 0x3FFFFFFF;

inline uint32_t GetBe16(const uint8_t* p)
{
    return (uint32_t(p[0]) << 8) | uint32_t(p[1]);
}
inline uint32_t GetBe24(const uint8_t* p)
{
    return (uint32_t(p[0]) << 16) | GetBe16(p + 1);
}
inline uint32_t GetBe32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | GetBe24(p + 1);
}
inline void PutBe16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void PutBe24(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 16);
    PutBe16(p + 1, v);
}
inline void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    PutBe24(p + 1, v);
}
inline int32_t SignExtend24(uint32_t v)
{
    return (v & 0x800000) ? static_cast<int32_t>(v | 0xFF000000u) : static_cast<int32_t>(v);
}

inline size_t CdbLengthFor(uint8_t opcode)
{
    return opcode < 0x20 ? 6 : 10;
}

inline bool Known(uint8_t opcode)
{
    switch (opcode) {
    case kOpTestUnitReady:
    case kOpRewind:
    case kOpRequestSense:
    case kOpReadBlockLimits:
    case kOpRead6:
    case kOpWrite6:
    case kOpWriteFilemarks:
    case kOpSpace:
    case kOpInquiry:
    case kOpModeSelect6:
    case kOpErase:
    case kOpModeSense6:
    case kOpLoadUnload:
    case kOpPreventAllow:
    case kOpLocate10:
    case kOpReadPosition:
    case kOpLogSense:
        return true;
    default:
        return false;
    }
}

// Commands that need the tape, and so wait for a running operation or a missing cartridge.
inline bool NeedsMedium(uint8_t opcode)
{
    switch (opcode) {
    case kOpInquiry:
    case kOpRequestSense:
    case kOpPreventAllow:
        return false;
    default:
        return true;
    }
}

// Commands that neither move nor change the tape may run beside an immediate operation.
inline bool MovesMedium(uint8_t opcode)
{
    switch (opcode) {
    case kOpModeSense6:
    case kOpLogSense:
    case kOpReadBlockLimits:
    case kOpInquiry:
    case kOpRequestSense:
    case kOpPreventAllow:
        return false;
    default:
        return true;
    }
}

inline bool AsksImmediate(const uint8_t* cdb)
{
    switch (cdb[0]) {
    case kOpRewind:
    case kOpWriteFilemarks:
    case kOpLoadUnload:
    case kOpLocate10:
        return (cdb[1] & 0x01) != 0;
    case kOpErase:
        return (cdb[1] & 0x02) != 0;
    default:
        return false;
    }
}

inline void PadCopy(uint8_t* dst, const std::string& text, size_t width)
{
    for (size_t i = 0; i < width; ++i) {
        dst[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
    }
}

}  // namespace internal

using namespace internal;

struct Drive::Call {
    const uint8_t* cdb;
    size_t cdbLength;
    Direction direction;
    uint8_t* data;
    size_t dataLength;

    // Answer bytes go no further than the allocation length and the initiator's buffer.
    Result Send(const std::vector<uint8_t>& answer, size_t allocation) const
    {
        Result result;
        const size_t room = direction == Direction::In && data != nullptr ? dataLength : 0;
        const size_t n = std::min({answer.size(), allocation, room});
        if (n > 0) {
            std::memcpy(data, answer.data(), n);
        }
        result.transferred = n;
        return result;
    }
};

struct Drive::Sense {
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
    static Sense CdbField(uint16_t byte, std::optional<uint8_t> bit = std::nullopt)
    {
        Sense s = Make(kKeyIllegalRequest, 0x24, 0x00);
        s.fieldPointer = byte;
        s.bit = bit;
        return s;
    }
    static Sense ListField(uint16_t byte, std::optional<uint8_t> bit = std::nullopt)
    {
        Sense s = Make(kKeyIllegalRequest, 0x26, 0x00);
        s.fieldPointer = byte;
        s.inCdb = false;
        s.bit = bit;
        return s;
    }
    static Sense ListLength() { return Make(kKeyIllegalRequest, 0x1A, 0x00); }
    // The initiator's data phase does not match what the command asks for.
    static Sense DataPhase() { return Make(kKeyAbortedCommand, 0x4B, 0x00); }
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

}  // namespace sim
