#include "module/python.h"

#include "client/replies.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "client/hosts.h"
#include "client/transport.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {

constexpr double kMaxRetryAfter = 600.0;
constexpr long kTooManyRequests = 429, kUnavailable = 503;

const Text kStatusCode{"status_code"}, kRetryAfter{"Retry-After"}, kParsedateTz{"parsedate_tz"},
    kMktimeTz{"mktime_tz"}, kStrip{"strip"};

// `url` is on `base` (a host's origin): the origin itself, or followed by a
// path, query or fragment.
bool on_host(const std::string& url, const char* base) {
    const std::string origin(base);
    if (url.compare(0, origin.size(), origin) != 0) return false;
    return url.size() == origin.size() || std::string("/?#").find(url[origin.size()]) != std::string::npos;
}

// Seconds from now to an HTTP date (0 for one gone by); -1 when the text is
// none.
double seconds_until_date(PyObject* text) {
    Ref utils = Ref::steal(PyImport_ImportModule("email.utils"));
    Ref parsed = utils ? call_method(utils.get(), kParsedateTz, {text}) : Ref();
    if (!parsed || parsed.get() == Py_None) return -1;
    Ref stamp = call_method(utils.get(), kMktimeTz, {parsed.get()});
    Ref now = stamp ? call_global_attr(names::time, names::time) : Ref();
    Ref left = now ? Ref::steal(PyNumber_Subtract(stamp.get(), now.get())) : Ref();
    return left ? std::max(PyFloat_AsDouble(left.get()), 0.0) : -1;
}

}  // namespace

Endpoint endpoint_of(PyObject* url) {
    if (!PyUnicode_Check(url)) return kDownload;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(url, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // a name unfit for UTF-8 is on none of the service's hosts
        return kDownload;
    }
    const std::string text(utf8, static_cast<size_t>(size));
    if (on_host(text, FW_ADDRESS_BASE)) return kAddress;
    return on_host(text, FW_API_BASE) || on_host(text, FW_APS_BASE) ? kListing : kDownload;
}

long status_of(PyObject* reply) {
    Ref status = Ref::steal(PyObject_GetAttr(reply, kStatusCode));
    const long value = status && PyLong_Check(status.get()) ? PyLong_AsLong(status.get()) : 0;
    if (PyErr_Occurred()) PyErr_Clear();
    return value == -1 ? 0 : value;
}

bool is_refusal(long status) { return status == kTooManyRequests || status == kUnavailable; }

double retry_after(PyObject* reply) {
    Ref headers = Ref::steal(PyObject_GetAttr(reply, names::headers));
    Ref value = headers ? call_method(headers.get(), names::get, {kRetryAfter}) : Ref();
    Ref text = value && PyUnicode_Check(value.get()) ? call_method(value.get(), kStrip)
                                                     : Ref();
    double seconds = -1;
    if (text) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
        const bool digits = utf8 != nullptr && size > 0 &&
                            std::all_of(utf8, utf8 + size, [](char c) { return c >= '0' && c <= '9'; });
        // whole seconds, leading zeros and all (too many digits read as infinity)
        seconds = digits ? std::strtod(utf8, nullptr) : seconds_until_date(text.get());
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        seconds = -1;
    }
    return seconds < 0 ? -1 : std::min(seconds, kMaxRetryAfter);
}

bool close_reply(PyObject* reply) {
    if (call_method(reply, names::close) || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return !PyErr_Occurred();
    }
    PyErr_Clear();
    return true;
}

Answer ask_again(PyObject* known) {
    Route route;
    Ref reply = route.choose() ? route.send(PyTuple_GET_ITEM(known, 0),
                                            {{names::headers, PyTuple_GET_ITEM(known, 1)},
                                             {names::stream, Py_True},
                                             {names::timeout, ints::listing_timeout}})
                               : Ref();
    if (reply) {
        Answer answer;
        answer.status = std::max(status_of(reply.get()), 1L);
        if (is_refusal(answer.status)) answer.retry_after = retry_after(reply.get());
        if (close_reply(reply.get())) return answer;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {-1, 0};
    PyErr_Clear();
    return {};
}

}  // namespace fw::client
