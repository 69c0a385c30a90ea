// The four header sets the client sends. Each is one ordered table; a set is
// built as a fresh dict per call.
#pragma once

#include "module/python.h"

#include "module/ref.h"

namespace fw::client {

enum class HeaderSet { Listing, ApsListing, DownloadAddress, Download };

// The listing, APS listing and download-address sets depend on the cookie only.
Ref build_headers(HeaderSet set, PyObject* cookie);
// The download set: Host from the address, Referer from the folder id.
Ref download_headers(PyObject* url, PyObject* cookie, PyObject* cid);

}  // namespace fw::client
