// How a tape status reads to a program that talks to a Linux tape device: the error number
// Linux's st driver gives for the same condition, and the reply that carries it with the
// driver's own words.
#pragma once

#include <string>

#include "platform/tapeclass.h"
#include "tools/rmt_wire.h"

namespace tools::rmt {

// The error number for a request or transfer that ended with `status` (not SUCCESS).
int ErrnoFor(TAPE_STATUS status);

// "<the system's words for errno>: <what>", and the status named when there is one.
Reply Failure(int error, const std::string& what);
Reply Failure(TAPE_STATUS status, const std::string& what);

}  // namespace tools::rmt
