// The life of a batch as the client sees it: when it runs, when it is to
// stop, and the two ways a batch that cannot succeed ends itself.
//
// A halt is a stop that main turns into its own exception: the service
// rejects the cookie (401 from the API hosts), or 24 files in a row are
// given up. Like Ctrl-C it starts no new file and no new attempt; files in
// flight finish or fail. Its console line is printed once, by the thread
// that halts.
#pragma once

#include "module/python.h"

#include "module/ref.h"

namespace fw::client {

// main's start and end. While a batch runs, its requests go through the
// pacer and a halt may end it; outside, every call behaves as on its own.
// The end forgets the halt (main has raised it by then); the stop holds
// until the next start.
void begin_batch();
void end_batch();
bool batch_active() noexcept;

// The process-wide stop: once set, no worker takes another entry and no
// failed file is tried again. Set by Ctrl-C in main and by a halt; cleared
// when main starts again.
void stop_work() noexcept;
void allow_work() noexcept;
bool work_stopped() noexcept;

// Number of files given up in a row that halts the batch.
inline constexpr int kGiveUpStreak = 24;

bool halted() noexcept;
// A 401 from the API hosts to a request for `url`: halts the batch (the
// first halt says so); false on an error of its own.
bool halt_on_rejected_cookie(PyObject* reply, PyObject* url);
// A worker's file done or given up, counting the streak.
void file_done() noexcept;
bool file_given_up(PyObject* error);
// Sets the halt's exception (requests.HTTPError with the 401 reply, or
// requests.RequestException with the last error's text and reply). Returns
// false when there is a halt (its exception set, or an error making it),
// true when the batch may go on.
bool no_halt();

// "Type: message" of an exception, as the console shows an error.
Ref describe(PyObject* error);
// One console line under the output lock, so lines stay whole. A console
// that cannot show it is passed over.
bool say(PyObject* line);

}  // namespace fw::client
