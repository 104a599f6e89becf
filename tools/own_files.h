// The cartridge's own files are never data: reading the cartridge into itself or writing it
// onto itself would chase its own end, and a data file at the name of its database log would
// be taken for that log at the next open.
#pragma once

#include <string>

#include "tools/session.h"

namespace tools {

// Throws ToolError, before anything moves, when `path` (or, for "-", the standard stream
// `standardFd`) is the cartridge, one of its files, or a name the cartridge would take for
// one of its own.
void RefuseOwnFile(const Session& session, const std::string& path, int standardFd);

}  // namespace tools
