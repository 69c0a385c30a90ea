// Cuts a download read off at its deadline.
//
// The request timeout only bounds each socket read, and one chunk of the
// prefix is many reads: a server that trickles its bytes could hold a read
// for hours. One watchdog thread, started when a read is watched and ending
// at the first poll that finds none, shuts the socket of every read whose
// deadline has passed; the blocked read then ends at once.
#pragma once

#include "module/python.h"

#include <cstdint>

#include "module/pycall.h"

namespace fw::client {

class WatchedRead {
public:
    WatchedRead() = default;
    WatchedRead(const WatchedRead&) = delete;
    WatchedRead& operator=(const WatchedRead&) = delete;
    ~WatchedRead() noexcept(false);
    // Watches the reply's read until this object ends. `deadline` is a
    // time.monotonic() value. A reply whose raw stream cannot be shut down
    // (older urllib3, test doubles) is not watched.
    bool start(PyObject* response, double deadline);
    // True once the watchdog has cut the read off: whatever the read
    // returned after that is not the file's content.
    bool cut_off() const;

private:
    uint64_t ticket_ = 0;
};

// The end of a batch: when no read is watched, ends the watchdog thread and
// waits for it, so nothing of the module runs on; a read started later starts
// another. With reads still watched the thread stays on duty for them.
void stop_watchdog(Cleanup& cleanup);

// In a child forked while reads were watched: neither their threads nor the
// watchdog's are in it. Forgets them, so that the child's first read starts a
// watchdog of its own.
void forget_watchdog();

// The interpreter's exit, before it ends the threads still running: the
// watchdog ends whatever it watches and is joined, and none starts again. A
// read of a thread that outlives this (a daemon thread's) keeps only its
// socket timeout: the interpreter ends that thread when it next wants it.
void retire_watchdog(Cleanup& cleanup);

}  // namespace fw::client
