// `status` in the shape mt-st users read and scripts parse: file and block numbers and the
// general status bits, beside the tool's own lines.
#pragma once

#include <cstdint>
#include <optional>

#include "store/cartridge_db.h"
#include "tools/commands.h"

namespace tools {

struct MtFacts {
    bool ready = false;                  // the drive answered ready
    bool noMedium = false;               // no cartridge in the drive
    std::optional<bool> writeProtected;  // when the drive reported it
    std::optional<uint32_t> blockSize;   // when the drive reported it
    std::optional<uint32_t> partition;   // the drive's partition, numbered from 0 as mt-st does
    store::FilePosition counted;
    bool atSetmark = false;  // a setmark lies right at the tape
    bool atEnd = false;      // past the early warning: the tape has no room left here
};

// The facts as mt shows them: a drive that is not ready has no place on a tape.
MtFacts Shown(const MtFacts& facts);
// The general status bits (mt_gstat of Linux's struct mtget) of the facts as shown.
uint32_t GeneralStatusBits(const MtFacts& facts);
// Adds the file and block lines, the mt-st block and the same facts to the JSON result.
void AddMtStatus(const MtFacts& facts, CommandResult& out);

}  // namespace tools
