// How the class-driver stand-in turns a drive's fixed-format sense data into a tape status,
// before the miniclass's TapeError refines it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/tapeclass.h"

namespace host {

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

inline constexpr int kAny = -1;  // ASC/ASCQ wildcard in a rule

// One row of the translation: the first row whose key matches, whose bit (when not 0) is set
// in byte 2, and whose ASC/ASCQ match (kAny matches anything, even undelivered bytes) decides.
struct SenseRule {
    uint8_t key;
    uint8_t bit;
    int asc;
    int ascq;
    TAPE_STATUS status;
};
const std::vector<SenseRule>& SenseTable();
std::string SenseTableMarkdown();

// The status for a command that ended with CHECK CONDITION and these sense bytes. Sense too
// short to hold a sense key, claiming more bytes than it carries (additional length, byte 7),
// or not in fixed format (response code other than 0x70/0x71), is a device error.
TAPE_STATUS TranslateSense(const uint8_t* sense, size_t length);

}  // namespace host
