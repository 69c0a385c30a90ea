// One pacer a batch: every request of the batch passes here (the rule:
// pacer.cpp). Waits run on the module's `time`, looked up at each use so a
// test can replace it, in pieces of at most a quarter second: a stopped
// batch does not wait out a pause. A download at a stop is held only for
// the second after its own refusal: its file is in progress, and finishes.
#pragma once

#include "module/python.h"

#include <cstdint>
#include <memory>

#include "client/replies.h"
#include "module/ref.h"

namespace fw::client {

class Pacer;  // pacer.cpp

// What a paced request asks of its batch, whose life is kept above the
// pacer. A worker left behind by an earlier batch paces under that batch's.
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

// One unit of work (a file, a listing page, over its attempts): its
// refusals are told from others' by it, and its waits count from its first
// refusal: a try later than 15 minutes after it fails the unit. The
// outermost clock of a thread is the one that counts.
class RefusalClock {
public:
    RefusalClock() noexcept;
    ~RefusalClock();
    RefusalClock(const RefusalClock&) = delete;
    RefusalClock& operator=(const RefusalClock&) = delete;
    // The unit's attempt succeeded: what it was served is evidence that the
    // service answers such requests (a reply that failed the attempt is not).
    void succeeded();
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
    // Waits for the unit's own wait, its endpoint's pause and its group's
    // pace; false with an error set when the batch stopped meanwhile or a
    // wait failed.
    bool admit();
    enum class Verdict { Use, Again, Fail };
    // What the reply means: use it, send again (refused; the reply is
    // closed), or fail with the error set (a rejected cookie, a refusal of
    // this unit's own, or refusals for too long).
    Verdict judge(PyObject* reply);

    // Where the request stands in the pacer (pacer.cpp).
    struct Ticket {
        bool reserved = false;
        double slot = 0;       // the start reserved in the group's pace
        uint64_t opened = 0;   // the endpoint's pauses before it was sent
        bool prober = false;   // it asks the endpoint's known request
        bool in_flight = false;
        bool wanting = false;  // counted as wanting the service (spacing.h)
    };

private:
    int probe(PyObject* known, double asked);
    int test(double asked);

    PyObject* url_;      // borrowed from the caller
    PyObject* headers_;  // borrowed from the caller; may be null
    PacedBatch& batch_;
    Endpoint endpoint_;
    double started_ = 0;  // when it was sent
    double seen_ = 0;     // the clock when last read
    Ticket ticket_;
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
