// What the pacer reads off a request and its reply: the hosts the request
// goes to, the status, the wait a refusal names; closing a reply it will not
// use, and asking a request it knows again.
#pragma once

#include "module/python.h"

namespace fw::client {

// What a request asks for; the pacer keeps evidence for each apart (a
// listing answered says nothing of addresses, nor an address of downloads).
enum Endpoint { kListing, kAddress, kDownload, kEndpoints };
Endpoint endpoint_of(PyObject* url);

// The reply's status; 0 for a reply without a number there (a test double).
long status_of(PyObject* reply);

// 429 or 503: the service refuses the request.
bool is_refusal(long status);

// The wait a refused reply's Retry-After asks (whole seconds, leading zeros
// and all, or an HTTP date), at most 10 minutes: 0 for 0 or a date gone by,
// -1 for none or none that reads (errors while reading it are passed over).
double retry_after(PyObject* reply);

// What a known request sent again was answered.
struct Answer {
    long status = 0;         // 0: it failed with an Exception (passed over); -1: anything else pending
    double retry_after = -1;  // the wait a refusal asks for (retry_after)
};

// Sends `known` (url, headers), a request once served, again: unpaced and
// streamed, no body read.
Answer ask_again(PyObject* known);

// Closes a reply; a reply that cannot be closed (an Exception) costs only
// its connection. False with anything else pending.
bool close_reply(PyObject* reply);

}  // namespace fw::client
