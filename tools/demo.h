// `velmtape demo`: a short session on a freshly created cartridge that shows what the tool
// and the driver do, step by step.
#pragma once

#include "tools/commands.h"
#include "tools/session.h"

namespace tools {

// Files with filemarks, two partitions, moves between them, with status, position and
// parameters after each step; stops at the first step that fails.
CommandResult RunDemo(Session& session);

}  // namespace tools
