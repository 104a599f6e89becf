// The cartridge's own files are never data: reading the cartridge into itself or writing it
// onto itself would chase its own end, and a file made in its folder would be one more of
// its files.
#pragma once

#include <string>

#include "tools/session.h"

namespace tools {

// Throws ToolError, before anything moves, when `path` (or, for "-", the standard stream
// `standardFd`) is the cartridge's folder, a file in it, or a name in it yet to be made.
void RefuseOwnFile(const Session& session, const std::string& path, int standardFd);

}  // namespace tools
