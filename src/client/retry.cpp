#include "module/python.h"

#include "client/retry.h"

#include "client/clock.h"

namespace fw::client {

bool pause_before(int attempt) { return sleep_for(kPauses[attempt - 1]); }

}  // namespace fw::client
