// The data path of velmtape: `write FILE` and `read FILE` move a file's bytes between the file
// and the tape in bounded chunks through the class driver's READ and WRITE, so memory stays the
// same whatever the size; "-" names standard input or output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/commands.h"
#include "tools/session.h"

namespace tools {

// Data blocks from the file at the tape's position. The file is a regular file, a pipe or
// standard input; anything else is refused before the tape moves. With a fixed block size the
// last block is filled up with zeros; with variable blocks each holds `recordSize` bytes
// (64 KiB when not given), the last fewer. `given`, when present, overrides the drive's (0:
// variable-length blocks); a drive that does not report its block size needs it, and a fixed
// size other than the drive's is refused with the drive's and the command that sets it.
// `weof`: a filemark follows the data once all of it is on tape; on a cartridge both are kept
// by the same commit. A failed write writes no filemark.
void WriteFile(Session& session, const std::string& path, std::optional<uint32_t> given,
               std::optional<uint32_t> recordSize, bool weof, CommandResult& out);

// Data blocks up to the next filemark (or a reported setmark, or end of data) into the file.
// A regular file is written beside itself and renamed over the old one only when the read
// has ended well, so a failed read leaves the old file as it was; standard output, a pipe or
// a character device is written directly. The tape is left after the mark, as a read leaves it.
// A fixed-block read that meets a block of another length stops there, past that block, and
// says how long the block is.
void ReadFile(Session& session, const std::string& path, std::optional<uint32_t> given,
              CommandResult& out);

}  // namespace tools
