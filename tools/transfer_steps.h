// What the write and the read side of velmtape's data path share: how much moves at a time,
// how a failure on the file's side is recorded, and the block size a transfer uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/commands.h"
#include "tools/session.h"

namespace tools {

inline constexpr size_t kChunkBytes = size_t{1} << 20;  // file bytes moved at a time
inline constexpr size_t kVariableBlockBytes = 65536;    // blocks that `write` makes by default

// A failure on the file's side: the tool's own, exit status 1, about the file and not the
// cartridge.
void FileFailure(CommandResult& out, const std::string& subject, const std::string& what);

// The block size of a transfer: the user's, else the drive's. A drive that does not report
// its media parameters (tgt refuses the capacity log page they include) leaves the choice to
// the user, said plainly instead of as the driver's refusal. False with the failure recorded.
bool TransferBlockSize(Session& session, std::optional<uint32_t> given, uint32_t& size,
                       CommandResult& out);

}  // namespace tools
