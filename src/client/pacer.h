// One pacer for the whole batch.
//
// While main runs, every request (both listings, download addresses,
// downloads) passes here. A reply 429 or 503 makes every worker wait: for
// the reply's Retry-After (seconds or an HTTP date, at most 10 minutes) or,
// without one, for a pause that doubles from 1 s up to 60 s and is back at
// 1 s once a request started after the pause succeeds. The refused request
// is closed and sent again after the pause; it is not one of the file's
// attempts. After a refusal the batch spaces its requests below the rate it
// just hit, and speeds up again while replies succeed (the rates: pacer.cpp).
//
// Spacing is per host group, the API hosts and every other host (the
// downloads): a limit on the listings and addresses says nothing about the
// download hosts, and their requests alternate in every worker. The pause is
// shared: a refusal is about the client as a whole.
//
// Waits run on the module's `time` (monotonic and sleep, looked up at each
// use, so a test can replace them), in pieces of at most a quarter second:
// a stopped batch does not wait out a pause. A download at a stop is not held
// at all: its file has its address, is in progress, and finishes.
#pragma once

#include <cstdint>

#include "module/ref.h"

namespace fw::client {

// A fresh pacer for a new batch: no pause, no spacing, no history.
void reset_pacer() noexcept;

// What a paced request asks of the batch it belongs to (the batch's life is
// kept above the pacer, which knows it only through this).
class PacedBatch {
public:
    virtual bool stopped() const noexcept = 0;
    // The service rejected the cookie (401 from the API hosts): the batch
    // halts. False on an error of its own.
    virtual bool cookie_rejected(PyObject* reply, PyObject* url) = 0;

protected:
    PacedBatch() = default;
    ~PacedBatch() = default;
};

// The refusals met by one unit of work (a file over its attempts, a listing
// page over its attempts) count on one clock from the first: once the next
// try would come more than 15 minutes after it, the request fails with the
// refused reply and the unit is not tried again. The outermost clock of a
// thread is the one that counts.
class RefusalClock {
public:
    RefusalClock() noexcept;
    ~RefusalClock();
    RefusalClock(const RefusalClock&) = delete;
    RefusalClock& operator=(const RefusalClock&) = delete;
};
// True once this thread's unit of work has used up its 15 minutes.
bool refusals_spent() noexcept;

// One request of a batch through the pacer, sent as often as it is refused.
class PacedRequest {
public:
    PacedRequest(PyObject* url, PacedBatch& batch);
    // Waits for the pause and the group's spacing; false with an error set
    // when the batch stopped meanwhile or a wait failed.
    bool admit();
    enum class Verdict { Use, Again, Fail };
    // What the reply means: use it, send again (refused; the reply is
    // closed), or fail with the error set (a rejected cookie, or refusals
    // for too long).
    Verdict judge(PyObject* reply);

private:
    PyObject* url_;  // borrowed from the caller
    PacedBatch& batch_;
    int group_;
    bool reserved_ = false;
    double slot_ = 0;     // the start reserved in the group's spacing
    double started_ = 0;  // when it was sent
    uint64_t generation_ = 0;  // the pause it was sent after
    RefusalClock clock_;
};

template <typename Send>
Ref paced_get(PyObject* url, PacedBatch& batch, Send&& send) {
    PacedRequest request(url, batch);
    for (;;) {
        if (!request.admit()) return {};
        Ref reply = send();
        if (!reply) return {};
        switch (request.judge(reply.get())) {
        case PacedRequest::Verdict::Use: return reply;
        case PacedRequest::Verdict::Again: break;
        case PacedRequest::Verdict::Fail: return {};
        }
    }
}

}  // namespace fw::client
