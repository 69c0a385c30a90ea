// The service client: the bodies of the four functions that talk to the
// service. Each receives its bound arguments in parameter order.
#pragma once

#include "module/python.h"

#include "module/ref.h"

namespace fw::client {

Ref get_url(PyObject* const* args);       // pickcode, cookie
Ref get_preid(PyObject* const* args);     // url, cookie, cid
Ref get_sha1list(PyObject* const* args);  // cid, type, cookie
Ref get_cidlist(PyObject* const* args);   // cid, cookie

// True when the last listing call on this thread failed because one page
// failed on every attempt (the other failures are not retried).
bool listing_exhausted() noexcept;

}  // namespace fw::client
