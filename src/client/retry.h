// The one retry policy of the batch: every listing request and every file
// that fails with an error is tried again, the same number of times, after
// the same pauses.
#pragma once

#include "module/python.h"

#include "client/pacer.h"
#include "module/ref.h"

namespace fw::client {

// Four attempts in all, with these pauses (seconds) before the second,
// third and fourth.
inline constexpr int kAttempts = 4;
inline constexpr double kPauses[kAttempts - 1] = {0.5, 1.0, 2.0};

enum class Retried {
    Done,       // an attempt succeeded
    Exhausted,  // every attempt failed; the last one's exception is pending
    Stopped,    // go_on() said no; no error pending
    Failed,     // an error that is not retried (KeyboardInterrupt, a failed pause) is pending
};

// time.sleep(the pause before attempt `attempt`, 1 to kAttempts - 1), through
// the module's `time`, so a test can replace it.
bool pause_before(int attempt);

// Runs attempt() (a Ref, empty with an error set when it fails) until it
// succeeds. Only an Exception is tried again; go_on() is asked after each
// failure and again after the pause that follows it. A failure once go_on()
// says no is a stop, never an exhausted unit: the batch cut it short. Refusals the pacer waited
// out are no attempts, but once they have taken 15 minutes nothing more is
// tried.
template <typename Attempt, typename GoOn>
Retried retry(Ref& result, Attempt&& attempt, GoOn&& go_on) {
    RefusalClock refusals;
    for (int index = 0;; ++index) {
        if (index > 0) {
            if (!pause_before(index)) return Retried::Failed;
            if (!go_on()) return Retried::Stopped;
        }
        result = attempt();
        if (result) {
            refusals.succeeded();
            return Retried::Done;
        }
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return Retried::Failed;
        if (!go_on()) {
            PyErr_Clear();
            return Retried::Stopped;
        }
        if (index + 1 == kAttempts || refusals_spent()) return Retried::Exhausted;
        PyErr_Clear();
    }
}

}  // namespace fw::client
