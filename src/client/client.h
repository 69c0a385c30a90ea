// The service client: the bodies of the four functions that talk to the
// service. Each receives its bound arguments in parameter order.
#pragma once

#include "module/ref.h"

namespace fw::client {

Ref get_url(PyObject* const* args);       // pickcode, cookie
Ref get_preid(PyObject* const* args);     // url, cookie, cid
Ref get_sha1list(PyObject* const* args);  // cid, type, cookie
Ref get_cidlist(PyObject* const* args);   // cid, cookie

}  // namespace fw::client
