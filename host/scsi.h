// The SCSI vocabulary of the class-driver stand-in, its targets, its names and the tool: the
// operation codes the host side sends or names, the command bits it reads back out of a block,
// the layout of fixed-format sense and standard inquiry data, and the big-endian byte helpers.
// The driver keeps its own (driver/scsi.h); the simulated drive, on the other side of the
// wire, keeps its own as well.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "bytes/big_endian.h"

namespace host {

using namespace bytes;  // GetBe32, PutBe24, ... by their own names

// Operation codes.
inline constexpr uint8_t kOpTestUnitReady = 0x00;
inline constexpr uint8_t kOpRewind = 0x01;
inline constexpr uint8_t kOpRequestSense = 0x03;
inline constexpr uint8_t kOpReadBlockLimits = 0x05;
inline constexpr uint8_t kOpRead6 = 0x08;
inline constexpr uint8_t kOpWrite6 = 0x0A;
inline constexpr uint8_t kOpWriteFilemarks = 0x10;
inline constexpr uint8_t kOpSpace = 0x11;
inline constexpr uint8_t kOpInquiry = 0x12;
inline constexpr uint8_t kOpModeSelect6 = 0x15;
inline constexpr uint8_t kOpErase = 0x19;
inline constexpr uint8_t kOpModeSense6 = 0x1A;
inline constexpr uint8_t kOpLoadUnload = 0x1B;
inline constexpr uint8_t kOpPreventAllow = 0x1E;
inline constexpr uint8_t kOpLocate10 = 0x2B;
inline constexpr uint8_t kOpReadPosition = 0x34;
inline constexpr uint8_t kOpLogSelect = 0x4C;
inline constexpr uint8_t kOpLogSense = 0x4D;
inline constexpr uint8_t kOpModeSelect10 = 0x55;
inline constexpr uint8_t kOpModeSense10 = 0x5A;

inline constexpr size_t kCdbLength6 = 6;
inline constexpr size_t kMaxCdbLength = 16;
inline constexpr size_t kAllocationLengthByte = 4;  // six-byte commands that ask for data
using Cdb6 = std::array<uint8_t, kCdbLength6>;

// READ(6) and WRITE(6): byte 1 flags, bytes 2 to 4 the transfer length.
inline constexpr uint8_t kRwFixed = 0x01;   // transfer length counts blocks of the set size
inline constexpr uint8_t kReadSili = 0x02;  // a block shorter than asked for is no error
inline constexpr uint32_t kMaxTransferLength = 0xFFFFFF;  // 24-bit field

// Fields of the other six-byte commands that the names read back.
inline constexpr uint8_t kWriteFilemarksWsmk = 0x02;  // byte 1: setmarks, not filemarks
inline constexpr uint8_t kSpaceCodeMask = 0x07;       // byte 1: what SPACE counts
inline constexpr uint8_t kEraseLong = 0x01;           // byte 1: the whole partition
inline constexpr size_t kActionByte = 4;              // LOAD UNLOAD, PREVENT ALLOW
inline constexpr uint8_t kLoadUnloadLoad = 0x01;
inline constexpr uint8_t kLoadUnloadRetension = 0x02;
inline constexpr uint8_t kLoadUnloadEndOfTape = 0x04;
inline constexpr uint8_t kPreventAllowPrevent = 0x01;

// Mode and log pages: the page code in byte 2 of MODE SENSE(6) and LOG SENSE.
inline constexpr size_t kPageCodeCdbByte = 2;
inline constexpr uint8_t kPageCodeMask = 0x3F;
inline constexpr uint8_t kPageDataCompression = 0x0F;
inline constexpr uint8_t kPageDeviceConfiguration = 0x10;
inline constexpr uint8_t kPageMediumPartition = 0x11;
inline constexpr uint8_t kPageAll = 0x3F;

// Mode parameter header of the six-byte commands and the block descriptor after it.
inline constexpr size_t kModeHeaderLength = 4;
inline constexpr size_t kModeDescriptorLengthByte = 3;
inline constexpr uint8_t kBlockDescriptorLength = 8;
inline constexpr size_t kDescriptorBlockLengthByte = 5;  // 24 bits

// Standard inquiry data.
inline constexpr size_t kInquiryDeviceTypeByte = 0;
inline constexpr uint8_t kInquiryDeviceTypeMask = 0x1F;
inline constexpr uint8_t kSequentialAccess = 0x01;  // the peripheral device type of a tape
inline constexpr uint8_t kInquiryRemovable = 0x80;  // byte 1
inline constexpr uint8_t kInquiryScsi2 = 0x02;      // byte 2 (version) and 3 (response format)
inline constexpr size_t kInquiryAdditionalLengthBase = 5;  // bytes up to and including byte 4
inline constexpr size_t kInquiryVendorByte = 8;            // 8 bytes
inline constexpr size_t kInquiryProductByte = 16;          // 16 bytes
inline constexpr size_t kInquiryRevisionByte = 32;         // 4 bytes
inline constexpr size_t kStandardInquiryLength = 36;

// Fixed-format sense data.
inline constexpr size_t kFixedSenseLength = 18;
inline constexpr size_t kMaxSenseLength = 255;       // SenseInfoBufferLength is one byte
inline constexpr size_t kSenseResponseCodeByte = 0;  // with VALID above the code
inline constexpr uint8_t kSenseResponseCodeMask = 0x7F;
inline constexpr uint8_t kSenseResponseCurrent = 0x70;
inline constexpr uint8_t kSenseResponseDeferred = 0x71;
inline constexpr uint8_t kSenseValid = 0x80;  // byte 0: INFORMATION holds a value
inline constexpr size_t kSenseKeyByte = 2;
inline constexpr uint8_t kSenseKeyMask = 0x0F;
inline constexpr uint8_t kSenseFlagMask = 0xF0;     // byte 2: the mark bits above the key
inline constexpr size_t kSenseInformationByte = 3;  // 32 bits
inline constexpr size_t kSenseAdditionalLengthByte = 7;
inline constexpr size_t kSenseAdditionalLengthBase = 8;  // bytes up to and including byte 7
inline constexpr size_t kSenseAscByte = 12;
inline constexpr size_t kSenseAscqByte = 13;

// Sense keys (low four bits of sense byte 2) and the mark bits above them.
inline constexpr uint8_t kSenseNoSense = 0x0;
inline constexpr uint8_t kSenseRecovered = 0x1;
inline constexpr uint8_t kSenseNotReady = 0x2;
inline constexpr uint8_t kSenseMediumError = 0x3;
inline constexpr uint8_t kSenseHardwareError = 0x4;
inline constexpr uint8_t kSenseIllegalRequest = 0x5;
inline constexpr uint8_t kSenseUnitAttention = 0x6;
inline constexpr uint8_t kSenseDataProtect = 0x7;
inline constexpr uint8_t kSenseBlankCheck = 0x8;
inline constexpr uint8_t kSenseAbortedCommand = 0xB;
inline constexpr uint8_t kSenseVolumeOverflow = 0xD;
inline constexpr uint8_t kSenseFilemark = 0x80;
inline constexpr uint8_t kSenseEom = 0x40;
inline constexpr uint8_t kSenseIli = 0x20;

// A six-byte command whose bytes 2 to 4 carry a 24-bit field: a transfer length or a count.
inline Cdb6 MakeCdb6(uint8_t op, uint8_t byte1, uint32_t field24)
{
    Cdb6 cdb{op, byte1};
    PutBe24(&cdb[2], field24);
    return cdb;
}

// The commands the host side sends on its own, whole.
inline constexpr Cdb6 kTestUnitReadyCdb = {kOpTestUnitReady, 0, 0, 0, 0, 0};
// PREVENT ALLOW MEDIUM REMOVAL with prevent set.
inline constexpr Cdb6 kPreventRemovalCdb = {kOpPreventAllow, 0, 0, 0, kPreventAllowPrevent, 0};

}  // namespace host
