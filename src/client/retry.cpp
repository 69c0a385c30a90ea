#include "module/python.h"

#include "client/retry.h"

#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {
const Text kSleep{"sleep"};
}

bool pause_before(int attempt) {
    Ref delay = Ref::steal(PyFloat_FromDouble(kPauses[attempt - 1]));
    return delay && call_global_attr(names::time, kSleep, {delay.get()});
}

}  // namespace fw::client
