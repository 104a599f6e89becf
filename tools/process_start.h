// What velmtape makes sure of before it opens anything: the standard descriptors lead
// somewhere, and the signals that would end it silently in the middle of a write do not.
#pragma once

namespace tools {

// Makes descriptors 0, 1 and 2 valid (a closed one is opened on /dev/null), so that no file
// the tool opens later (a cartridge, a data file) can take the number of a standard stream
// and receive the trace, a notice or an error message over its own bytes. Ignores SIGPIPE
// and SIGXFSZ, so that a reader that went away and a file-size limit are failed writes with
// their reason (EPIPE, EFBIG) and not deaths without a word. False when a closed descriptor
// could not be opened; nothing may be opened then.
bool PrepareProcess();

}  // namespace tools
