// The download address of a file, and the prefix hash of its content.
#include <string>

#include "client/client.h"
#include "client/headers.h"
#include "client/hosts.h"
#include "client/watchdog.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {

constexpr Py_ssize_t kPrefixBytes = 131072;

const Text kAddressHead{FW_API_BASE "/files/download?pickcode="}, kStampHead{"&_="},
    kFileUrl{"file_url"}, kStream{"stream"}, kIterContent{"iter_content"},
    kChunkSize{"chunk_size"}, kSha1{"sha1"}, kHexdigest{"hexdigest"}, kUpper{"upper"},
    kMonotonic{"monotonic"}, kStatusCode{"status_code"}, kHTTPError{"HTTPError"},
    kTimeoutError{"Timeout"}, kRequestException{"RequestException"}, kResponse{"response"},
    kContentLength{"Content-Length"}, kContentEncoding{"Content-Encoding"}, kIdentity{"identity"},
    kEmpty{""}, kLower{"lower"};

// Raises requests.<kind>(message), with the reply attached when there is one.
void raise_request_error(PyObject* kind, Ref message, PyObject* response = nullptr) {
    if (!message) return;
    Ref error = response != nullptr
                    ? call_global_attr(names::requests, kind, {message.get()},
                                       {{kResponse, response}})
                    : call_global_attr(names::requests, kind, {message.get()});
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

void raise_deadline(PyObject* url) {
    raise_request_error(kTimeoutError,
                        Ref::steal(PyUnicode_FromFormat(msg::kDownloadDeadline, url,
                                                        ints::prefix_deadline.get(),
                                                        ints::prefix_size.get())));
}

// An error status is not the file: its page must not be hashed.
bool check_status(PyObject* response, PyObject* url) {
    Ref status = attr(response, kStatusCode);
    if (!status) return false;
    const int failed = PyObject_RichCompareBool(status.get(), ints::error_status, Py_GE);
    if (failed == 0) return true;
    if (failed > 0) {
        raise_request_error(kHTTPError,
                            Ref::steal(PyUnicode_FromFormat(msg::kDownloadStatus, status.get(), url)),
                            response);
    }
    return false;
}

Ref monotonic_now() { return call_global_attr(names::time, kMonotonic); }

// 1 when the deadline has passed, 0 when not, -1 on error.
int past(PyObject* deadline) {
    Ref now = monotonic_now();
    return now ? PyObject_RichCompareBool(now.get(), deadline, Py_GT) : -1;
}

// A body that ends before the prefix while its plain length promised more
// was cut short: its bytes are not the file's beginning.
bool check_complete(PyObject* response, PyObject* url, Py_ssize_t received) {
    Ref headers = attr(response, names::headers);
    if (!headers) return false;
    Ref encoding = call_method(headers.get(), names::get, {kContentEncoding});
    Ref length = encoding ? call_method(headers.get(), names::get, {kContentLength}) : Ref();
    if (!length) return false;
    if (length.get() == Py_None) return true;
    if (encoding.get() != Py_None) {
        Ref name = call_method(encoding.get(), kLower);  // encoding names ignore case
        if (!name) return false;
        const int identity = PyObject_RichCompareBool(name.get(), kIdentity, Py_EQ);
        const int empty = identity == 0 ? PyObject_RichCompareBool(name.get(), kEmpty, Py_EQ) : 0;
        if (identity < 0 || empty < 0) return false;
        if (identity == 0 && empty == 0) return true;
    }
    Ref announced = Ref::steal(PyNumber_Long(length.get()));
    if (!announced) {  // an unreadable length promises nothing
        PyErr_Clear();
        return true;
    }
    Ref got = Ref::steal(PyLong_FromSsize_t(received));
    if (!got) return false;
    const int short_body = PyObject_RichCompareBool(announced.get(), got.get(), Py_GT);
    if (short_body == 0) return true;
    if (short_body > 0) {
        raise_request_error(kRequestException, Ref::steal(PyUnicode_FromFormat(
                                                   msg::kDownloadShort, url, received, length.get())));
    }
    return false;
}

// The first kPrefixBytes of the body (all of it when shorter), read chunk by
// chunk until they are gathered, and no further, within the deadline.
Ref read_prefix(PyObject* response, PyObject* url) {
    Ref start = monotonic_now();
    Ref deadline = start ? Ref::steal(PyNumber_Add(start.get(), ints::prefix_deadline)) : Ref();
    if (!deadline) return {};
    WatchedRead watched;
    if (!watched.start(response, deadline.get())) return {};
    Ref content = call_method(response, kIterContent, {}, {{kChunkSize, ints::prefix_size}});
    Ref chunks = content ? Ref::steal(PyObject_GetIter(content.get())) : Ref();
    if (!chunks) return {};
    std::string prefix;
    while (static_cast<Py_ssize_t>(prefix.size()) < kPrefixBytes) {
        Ref chunk = Ref::steal(PyIter_Next(chunks.get()));
        if (!chunk) break;  // the body ended, or the read failed
        Py_buffer view;
        if (PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) < 0) return {};
        const auto wanted = static_cast<size_t>(kPrefixBytes) - prefix.size();
        const auto length = static_cast<size_t>(view.len);
        prefix.append(static_cast<const char*>(view.buf), length < wanted ? length : wanted);
        PyBuffer_Release(&view);
        if (static_cast<Py_ssize_t>(prefix.size()) == kPrefixBytes) break;
        const int late = past(deadline.get());
        if (late != 0) {
            if (late > 0) raise_deadline(url);
            return {};
        }
    }
    const auto received = static_cast<Py_ssize_t>(prefix.size());
    if (received < kPrefixBytes) {
        // A read the watchdog cut off fails or ends early: that is the deadline.
        Ref read_error = take_error();
        const int late = past(deadline.get());
        if (late < 0) return {};
        if (late > 0) {
            raise_deadline(url);
            return {};
        }
        if (read_error) {
            restore_error(std::move(read_error));
            return {};
        }
        if (!check_complete(response, url, received)) return {};
    }
    return Ref::steal(PyBytes_FromStringAndSize(prefix.data(), received));
}

Ref hex_sha1(PyObject* data) {
    Ref hashed = call_global_attr(names::hashlib, kSha1, {data});
    Ref digest = hashed ? call_method(hashed.get(), kHexdigest) : Ref();
    return digest ? call_method(digest.get(), kUpper) : Ref();
}

}  // namespace

Ref get_url(PyObject* const* args) {
    PyObject* pickcode = args[0];
    PyObject* cookie = args[1];
    Ref header = build_headers(HeaderSet::DownloadAddress, cookie);
    if (!header) return {};
    Ref seconds = call_global_attr(names::time, names::time);
    Ref millis = seconds ? Ref::steal(PyNumber_Multiply(seconds.get(), ints::millis)) : Ref();
    Ref whole = millis ? Ref::steal(PyNumber_Long(millis.get())) : Ref();
    Ref stamp = whole ? to_str(whole.get()) : Ref();
    Ref url = stamp ? concat({kAddressHead, pickcode, kStampHead, stamp.get()}) : Ref();
    if (!url) return {};
    Ref response = call_global_attr(names::requests, names::get, {url.get()},
                                    {{names::headers, header.get()}, {names::timeout, ints::six}});
    Ref text = response ? attr(response.get(), names::text) : Ref();
    Ref htmljson = text ? call_global_attr(names::json, names::loads, {text.get()}) : Ref();
    return htmljson ? item(htmljson.get(), kFileUrl) : Ref();
}

Ref get_preid(PyObject* const* args) {
    PyObject* url = args[0];
    PyObject* cookie = args[1];
    PyObject* cid = args[2];
    Ref preid = Ref::borrow(kEmpty);
    Ref header = download_headers(url, cookie, cid);
    if (!header) return {};
    Ref response = call_global_attr(
        names::requests, names::get, {url},
        {{names::headers, header.get()}, {kStream, Py_True}, {names::timeout, ints::six}});
    if (!response) return {};
    CallOnExit closes(response.copy(), names::close);
    if (!check_status(response.get(), url)) return {};
    Ref data = read_prefix(response.get(), url);
    if (!data) return {};
    if (PyBytes_GET_SIZE(data.get()) > 0) preid = hex_sha1(data.get());
    return preid;
}

}  // namespace fw::client
