// `velmtape map`: a cartridge's layout read from its store, as a virtual tape library's dump
// tool shows it; the simulator's own view, not an answer of the drive.
#pragma once

#include <chrono>
#include <string>

#include "tools/commands.h"

namespace tools {

// Per partition the tape files with their blocks, block sizes and bytes, the marks, end of
// data and the space used; and where the tape stands. Reads runs of objects, never their
// bytes. Throws ToolError when the cartridge cannot be opened.
CommandResult MapCartridge(const std::string& path, std::chrono::milliseconds busyWait);

}  // namespace tools
