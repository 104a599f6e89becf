// How the class-driver stand-in turns a drive's fixed-format sense data into a tape status,
// before the miniclass's TapeError refines it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/tapeclass.h"

namespace host {

// The status for a command that ended with CHECK CONDITION and these sense bytes. Sense too
// short to hold a sense key, or claiming more bytes than it carries, is a device error.
TAPE_STATUS TranslateSense(const uint8_t* sense, size_t length);

}  // namespace host
