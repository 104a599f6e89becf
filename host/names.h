// The SCSI and tape vocabulary of the class-driver stand-in in words: the decoders that put
// statuses, command blocks and sense into words for the transcript, the sense translation and
// the tools (the bytes themselves are named in host/scsi.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/scsi.h"
#include "host/target.h"
#include "platform/tapeclass.h"

namespace host {

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
