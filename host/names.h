// The SCSI and tape vocabulary of the class-driver stand-in, in one place: the layout of
// fixed-format sense, the sense keys, and the decoders that put statuses, command blocks and
// sense into words for the transcript, the sense translation and the tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/target.h"
#include "platform/tapeclass.h"

namespace host {

// Fixed-format sense data.
inline constexpr uint8_t kSenseResponseCodeMask = 0x7F;
inline constexpr uint8_t kSenseResponseCurrent = 0x70;
inline constexpr uint8_t kSenseResponseDeferred = 0x71;
inline constexpr uint8_t kSenseValid = 0x80;  // byte 0: INFORMATION holds a value
inline constexpr size_t kSenseKeyByte = 2;
inline constexpr uint8_t kSenseKeyMask = 0x0F;
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

const char* TapeStatusName(TAPE_STATUS status);     // "TAPE_STATUS_SUCCESS"
const char* TapeStatusMeaning(TAPE_STATUS status);  // one line in words
const char* ScsiStatusName(uint8_t status);         // "CHECK CONDITION"
const char* SenseKeyName(uint8_t key);              // "ILLEGAL REQUEST"; low four bits count
const char* DirectionName(Direction direction);     // "in", "out", "none"
std::string CommandName(
    const std::vector<uint8_t>& cdb);  // "LOCATE(10)", "MODE SENSE(6) page 0x10"
std::string DescribeSense(const std::vector<uint8_t>& sense);  // key, ASC/ASCQ and bits in words

// Bytes as the transcript writes them: "12 00 60", "0x00020000", "0x02".
std::string HexBytes(const std::vector<uint8_t>& bytes);
std::string Hex32(uint32_t value);
std::string Hex8(uint32_t value);

}  // namespace host
