// How the class-driver stand-in turns a drive's fixed-format sense data into a tape status,
// before the miniclass's TapeError refines it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/names.h"
#include "host/transcript.h"
#include "platform/tapeclass.h"

namespace host {

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

// Why sense bytes cannot be read at all, in words; nothing when they can: sense too short to
// hold a sense key, or claiming more bytes than it carries (additional length, byte 7).
std::optional<std::string> SenseMalformed(const uint8_t* sense, size_t length);

// The status for a command that ended with CHECK CONDITION and these sense bytes. Sense too
// short to hold a sense key, claiming more bytes than it carries (additional length, byte 7),
// or not in fixed format (response code other than 0x70/0x71), is a device error.
TAPE_STATUS TranslateSense(const uint8_t* sense, size_t length);

// What fixed-format sense says about how far the failed command got.
struct SenseFacts {
    uint8_t key = kSenseNoSense;  // the sense key (low four bits of byte 2)
    std::optional<uint8_t> asc;   // additional sense code and qualifier, when delivered
    std::optional<uint8_t> ascq;
    bool filemark = false;               // FILEMARK bit: a filemark or a setmark was met
    bool endOfMedium = false;            // EOM bit: beginning or end of the partition
    bool incorrectLength = false;        // ILI: the block's length differed from the one asked
    bool mediumError = false;            // MEDIUM ERROR: a block that cannot be read
    std::optional<int32_t> information;  // INFORMATION (VALID set): the residue, signed; for a
                                         // MEDIUM ERROR this drive names the block's address
};
SenseFacts ReadSense(const std::vector<uint8_t>& sense);

// What the sense of the command that ended a failed request or transfer says; nothing when it
// succeeded, whatever a step on the way met.
SenseFacts FinalSense(const Transcript& transcript);

}  // namespace host
