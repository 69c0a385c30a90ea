// How a request reaches the service.
//
// Every request is `requests.get(url, **keywords)` with `requests` as the
// module namespace names it at that moment, so whoever replaces it (a test
// double, a routing shim, mock.patch of requests.get) sees every call as it
// is made. While it is the installed package with the package's own `get`,
// the same call goes instead to one kept-alive session that every thread of
// the process shares: a connection, its TCP window and its TLS session then
// serve file after file, worker after worker and folder after folder. The
// session keeps no cookie from a reply, and reads the environment (proxies,
// CA bundle) per request just as `requests.get` does.
//
// On a thread that works for a batch (run.h), either way goes through the
// pacer (pacer.h): spaced after a refusal, sent again when refused, a
// rejected cookie halting the batch.
#pragma once

#include "module/python.h"

#include <initializer_list>

#include "module/pycall.h"

namespace fw::client {

class Route {
public:
    // Looks up the module's `requests` now; false with an error set when
    // that fails.
    bool choose();
    // True when the call goes to the shared session.
    bool pooled() const noexcept { return pooled_; }
    // On a thread that works for a batch, through its pacer; else as send.
    Ref get(PyObject* url, std::initializer_list<Kw> keywords) const;
    // The request once, unpaced.
    Ref send(PyObject* url, std::initializer_list<Kw> keywords) const;

private:
    Ref via_;  // the module's `requests`, or the shared session
    bool pooled_ = false;
};

// The installed requests package, imported once. The errors the module
// raises itself are its classes, whatever the module's `requests` is.
Ref requests_package();
// Raises requests.<kind>(message) of the installed package, with the reply
// attached when there is one. An empty message leaves its error pending.
void raise_request_error(PyObject* kind, Ref message, PyObject* response = nullptr);

// The end of a batch: closes the shared session with its idle connections
// and stops the read watchdog (see Cleanup for what stays pending).
void close_transport();

}  // namespace fw::client
