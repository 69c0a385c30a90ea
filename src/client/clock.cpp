#include "module/python.h"

#include "client/clock.h"

#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {
const Text kMonotonic{"monotonic"}, kSleep{"sleep"}, kEvent{"Event"}, kWait{"wait"};
}

bool monotonic_now(double& now) {
    Ref value = call_global_attr(names::time, kMonotonic);
    if (!value) return false;
    now = PyFloat_AsDouble(value.get());
    return !(now == -1.0 && PyErr_Occurred());
}

bool sleep_for(double seconds) {
    Ref delay = Ref::steal(PyFloat_FromDouble(seconds));
    return delay && call_global_attr(names::time, kSleep, {delay.get()});
}

bool wait_real(double seconds) {
    Ref never_set = call_global_attr(names::threading, kEvent);
    Ref delay = never_set ? Ref::steal(PyFloat_FromDouble(seconds)) : Ref();
    return delay && call_method(never_set.get(), kWait, {delay.get()});
}

}  // namespace fw::client
