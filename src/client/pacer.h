// One pacer a batch: every request of the batch (both listings, download
// addresses, downloads) passes here, and a reply 429 or 503 is judged by
// whose problem it is (the rule: pacer.cpp).
//
// Waits run on the module's `time` (monotonic and sleep, looked up at each
// use, so a test can replace them), in pieces of at most a quarter second:
// a stopped batch does not wait out a pause. A download at a stop is not held
// at all: its file has its address, is in progress, and finishes.
#pragma once

#include "module/python.h"

#include <cstdint>
#include <memory>

#include "module/ref.h"

namespace fw::client {

class Pacer;  // pacer.cpp

// What a paced request asks of the batch it belongs to (the batch's life is
// kept above the pacer, which knows it only through this). Each batch has a
// pacer of its own: a worker left behind by an earlier batch paces under
// that batch's.
class PacedBatch {
public:
    virtual bool stopped() const noexcept = 0;
    // The service rejected the cookie (401 from the API hosts): the batch
    // halts. False on an error of its own.
    virtual bool cookie_rejected(PyObject* reply, PyObject* url) = 0;

    Pacer& pacer() noexcept { return *pacer_; }

protected:
    PacedBatch();
    ~PacedBatch();

private:
    std::unique_ptr<Pacer> pacer_;
};

// One unit of work (a file over its attempts, a listing page over its
// attempts): the pacer tells its refusals from other units' by it, and its
// shared refusals count on one clock from the first: once the next try would
// come more than 15 minutes after it, the request fails with the refused
// reply and the unit is not tried again. The outermost clock of a thread is
// the one that counts.
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
    PacedRequest(PyObject* url, PyObject* headers, PacedBatch& batch);
    ~PacedRequest();
    PacedRequest(const PacedRequest&) = delete;
    PacedRequest& operator=(const PacedRequest&) = delete;
    // Waits for the pause, the test after it and the group's spacing; false
    // with an error set when the batch stopped meanwhile or a wait failed.
    bool admit();
    enum class Verdict { Use, Again, Fail };
    // What the reply means: use it, send again (refused; the reply is
    // closed), or fail with the error set (a rejected cookie, a refusal of
    // this unit alone, or refusals for too long).
    Verdict judge(PyObject* reply);

    // Where the request stands in the pacer (pacer.cpp).
    struct Ticket {
        bool reserved = false;
        double slot = 0;           // the start reserved in the group's spacing
        uint64_t generation = 0;   // the pause it was sent after
        bool tester = false;       // it tests the service after a pause
        bool awaits_test = false;  // it waits for the test's answer
    };

private:
    bool probe_as_test();

    PyObject* url_;      // borrowed from the caller
    PyObject* headers_;  // borrowed from the caller; may be null
    PacedBatch& batch_;
    int group_;
    double started_ = 0;  // when it was sent
    Ticket ticket_;
    RefusalClock clock_;
};

template <typename Send>
Ref paced_get(PyObject* url, PyObject* headers, PacedBatch& batch, Send&& send) {
    PacedRequest request(url, headers, batch);
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
