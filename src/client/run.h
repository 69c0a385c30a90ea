// The life of one batch as the client sees it: whether it is to stop, and
// the two ways a batch that cannot succeed ends itself.
//
// Each main() makes a Run of its own, and every thread that works for that
// batch is bound to it (RunBinding) for as long as it does. A stop, a halt
// and the streak of give-ups belong to their Run: a worker left behind by an
// earlier main() sees that batch's stop, never the next one's, and nothing it
// does counts for the next batch.
//
// A halt is a stop that main turns into its own exception: the service
// rejects the cookie (401 from the API hosts), or 24 files in a row are
// given up. Like Ctrl-C it starts no new file and no new attempt. Its console
// line is printed once, by the thread that halts.
#pragma once

#include <atomic>
#include <memory>

#include "client/pacer.h"
#include "module/shared.h"

namespace fw::client {

// Number of files given up in a row that halts the batch.
inline constexpr int kGiveUpStreak = 24;

class Run final : public PacedBatch {
public:
    Run() = default;
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    ~Run();

    // Once set, no worker of this batch takes another entry and no failed
    // file is tried again. Set by main when it fails while its workers run
    // (Ctrl-C, mostly) and by a halt; never cleared.
    void stop() noexcept { stopping_.store(true); }
    bool stopped() const noexcept override { return stopping_.load(); }

    bool halted() const noexcept;
    // A 401 from the API hosts to a request for `url`: halts the batch (the
    // first halt says so); false on an error of its own.
    bool cookie_rejected(PyObject* reply, PyObject* url) override;
    // A worker's file done or given up, counting the streak.
    void file_done() noexcept { streak_.store(0); }
    bool file_given_up(PyObject* error);
    // Sets the halt's exception (requests.HTTPError with the 401 reply, or
    // requests.RequestException with the last error's text and reply).
    // Returns false when there is a halt (its exception set, or an error
    // making it), true when the batch may go on.
    bool no_halt() const;
    // main's end: the halt's cause released while the interpreter is sure to
    // be there (main has raised the halt by then).
    void end();

private:
    enum class Halt : int { None, RejectedCookie, GiveUpStreak };
    bool first_halt(Halt kind, Ref cause);

    std::atomic<bool> stopping_{false};
    std::atomic<int> halt_kind_{static_cast<int>(Halt::None)};
    std::atomic<int> streak_{0};  // files given up since the last one done
    // What the halt raises from: (reply, url) of the 401, or the streak's
    // last error. The first halt keeps it.
    SharedRef halt_cause_;
};

// The batch the calling thread works for; null outside one (a call on its
// own: unpaced, never stopped).
Run* current_run() noexcept;

// Binds the calling thread to `run` for the life of the binding (nested
// bindings restore the outer one). While bound, the thread's requests go
// through the batch's pacer.
class RunBinding {
public:
    explicit RunBinding(std::shared_ptr<Run> run) noexcept;
    ~RunBinding();
    RunBinding(const RunBinding&) = delete;
    RunBinding& operator=(const RunBinding&) = delete;

private:
    std::shared_ptr<Run> run_;
    Run* outer_;
};

}  // namespace fw::client
