// The client's waits. A pause is on the module's `time` (monotonic and
// sleep, looked up at each use, so a test can replace them); a wait for
// another thread is on real time, whatever clock `time` keeps.
#pragma once

#include "module/python.h"

namespace fw::client {

// time.monotonic() into `now`; false with an error set.
bool monotonic_now(double& now);
// time.sleep(seconds).
bool sleep_for(double seconds);
// Real seconds, in a wait an interrupt can end (threading.Event's).
bool wait_real(double seconds);

}  // namespace fw::client
