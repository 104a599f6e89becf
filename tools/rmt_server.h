// `velmtape rmt`: the remote tape server of rmt(8) on two descriptors, as GNU tar, GNU mt
// and dump/restore reach it through rsh or ssh.
#pragma once

#include "tools/session.h"

namespace tools::rmt {

// Serves requests from `in`, replies on `out`, until the input ends, the client goes away or
// a request cannot be read (replied to first). An open tape is then closed as close(2)
// would close it. With `trace`, each request, the driver's requests it became and the reply
// go to standard error. Returns the exit status: 0 when the input ended between requests.
int Serve(int in, int out, const SessionOptions& defaults, bool trace);

}  // namespace tools::rmt
