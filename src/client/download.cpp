// The download address of a file, and the prefix hash of its content.
#include "module/python.h"

#include <string>

#include "client/client.h"
#include "client/clock.h"
#include "client/headers.h"
#include "client/hosts.h"
#include "client/transport.h"
#include "client/watchdog.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {

constexpr Py_ssize_t kPrefixBytes = 131072;

const Text kAddressHead{FW_ADDRESS_BASE "?pickcode="}, kStampHead{"&_="},
    kFileUrl{"file_url"}, kIterContent{"iter_content"},
    kChunkSize{"chunk_size"}, kSha1{"sha1"}, kHexdigest{"hexdigest"}, kUpper{"upper"},
    kStatusCode{"status_code"}, kHTTPError{"HTTPError"},
    kTimeoutError{"Timeout"}, kRequestException{"RequestException"},
    kContentLength{"Content-Length"}, kContentEncoding{"Content-Encoding"}, kIdentity{"identity"},
    kEmpty{""}, kLower{"lower"}, kRange{"Range"}, kPrefixRange{"bytes=0-131071"},
    kContentRange{"Content-Range"};

// The status codes a ranged download is answered with.
constexpr long kPartialContent = 206, kRangeNotSatisfiable = 416;

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

// 1 when the deadline has passed, 0 when not, -1 on error.
int past(double deadline) {
    double now = 0;
    if (!monotonic_now(now)) return -1;
    return now > deadline ? 1 : 0;
}

// reply.headers.get(name): the value, or None.
Ref header_of(PyObject* response, PyObject* name) {
    Ref headers = attr(response, names::headers);
    return headers ? call_method(headers.get(), names::get, {name}) : Ref();
}

// 1 when the body comes as the file's own bytes (no Content-Encoding, or
// identity in any case), 0 when it is coded, -1 on error.
int is_plain_body(PyObject* response) {
    Ref encoding = header_of(response, kContentEncoding);
    if (!encoding) return -1;
    if (encoding.get() == Py_None) return 1;
    Ref name = call_method(encoding.get(), kLower);  // encoding names ignore case
    if (!name) return -1;
    const int identity = PyObject_RichCompareBool(name.get(), kIdentity, Py_EQ);
    const int empty = identity == 0 ? PyObject_RichCompareBool(name.get(), kEmpty, Py_EQ) : 0;
    if (identity < 0 || empty < 0) return -1;
    return identity == 1 || empty == 1 ? 1 : 0;
}

void raise_short_body(PyObject* url, Py_ssize_t received, PyObject* announced) {
    raise_request_error(kRequestException,
                        Ref::steal(PyUnicode_FromFormat(msg::kDownloadShort, url, received, announced)));
}

// A body that ends before the prefix while its plain length promised more
// was cut short: its bytes are not the file's beginning.
bool check_complete(PyObject* response, PyObject* url, Py_ssize_t received) {
    Ref length = header_of(response, kContentLength);
    if (!length) return false;
    if (length.get() == Py_None) return true;
    const int plain = is_plain_body(response);
    if (plain <= 0) return plain == 0;
    Ref announced = Ref::steal(PyNumber_Long(length.get()));
    if (!announced) {  // an unreadable length promises nothing
        PyErr_Clear();
        return true;
    }
    Ref got = Ref::steal(PyLong_FromSsize_t(received));
    if (!got) return false;
    const int short_body = PyObject_RichCompareBool(announced.get(), got.get(), Py_GT);
    if (short_body == 0) return true;
    if (short_body > 0) raise_short_body(url, received, length.get());
    return false;
}

// One more step past a complete prefix: the end of a body that holds only
// the prefix, read so that its connection goes back to the pool. More bytes
// after it are left unread (closing the reply drops that connection).
bool finish_body(PyObject* chunks) {
    Ref beyond = Ref::steal(PyIter_Next(chunks));
    if (beyond || !PyErr_Occurred()) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();  // the prefix is whole: a failure after it costs only the connection
    return true;
}

// The first kPrefixBytes of the body (all of it when shorter), read chunk by
// chunk until they are gathered, and no further, within the deadline. With
// `to_end`, a body that ends with the prefix is read to its end.
Ref read_prefix(PyObject* response, PyObject* url, bool to_end = false) {
    double start = 0;
    if (!monotonic_now(start)) return {};
    const double deadline = start + kPrefixDeadlineSeconds;
    WatchedRead watched;
    if (!watched.start(response, deadline)) return {};
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
        if (static_cast<Py_ssize_t>(prefix.size()) == kPrefixBytes) {
            if (to_end && !finish_body(chunks.get())) return {};
            break;
        }
        const int late = past(deadline);
        if (late != 0) {
            if (late > 0) raise_deadline(url);
            return {};
        }
    }
    const auto received = static_cast<Py_ssize_t>(prefix.size());
    if (received < kPrefixBytes) {
        // A read the watchdog cut off fails or ends early, whatever the clock
        // says now: that is the deadline.
        Ref read_error = take_error();
        const int late = watched.cut_off() ? 1 : past(deadline);
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

// The prefix hash of the bytes read: "" when there are none.
Ref prefix_hash(const Ref& data) {
    if (!data) return {};
    return PyBytes_GET_SIZE(data.get()) > 0 ? hex_sha1(data.get()) : Ref::borrow(kEmpty);
}

// The reply's status as a C number; -1 with an error set when it is none.
long status_of(PyObject* response) {
    Ref status = attr(response, kStatusCode);
    return status ? PyLong_AsLong(status.get()) : -1;
}

// The text of a header as UTF-8, "" when the reply has none; false on error.
bool header_text(PyObject* response, PyObject* name, std::string& text) {
    Ref value = header_of(response, name);
    if (!value) return false;
    text.clear();
    if (!PyUnicode_Check(value.get())) return true;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (utf8 == nullptr) return false;
    text.assign(utf8, static_cast<size_t>(size));
    return true;
}

// A run of decimal digits at `at`, moved past; false when there is none or
// it does not fit.
bool parse_number(const std::string& text, size_t& at, long long& number) {
    const size_t first = at;
    number = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (number > (1LL << 53)) return false;
        number = number * 10 + (text[at] - '0');
    }
    return at > first;
}

bool starts_with_unit(const std::string& text) {
    static const char unit[] = "bytes ";
    if (text.size() < sizeof unit - 1) return false;
    for (size_t i = 0; i + 1 < sizeof unit; ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != unit[i]) return false;
    }
    return true;
}

// The bytes a 206 reply carries: its Content-Range must be
// "bytes 0-<last>/<size or *>" and must reach as far as the prefix of a file
// of that size does. 0 when the reply cannot stand for the prefix.
long long prefix_carried(const std::string& range) {
    if (!starts_with_unit(range)) return 0;
    size_t at = sizeof "bytes " - 1;
    long long first = 0, last = 0, size = -1;
    if (!parse_number(range, at, first) || first != 0 || at >= range.size() || range[at++] != '-' ||
        !parse_number(range, at, last) || at >= range.size() || range[at++] != '/') {
        return 0;
    }
    if (range.compare(at, std::string::npos, "*") != 0 &&
        (!parse_number(range, at, size) || at != range.size() || last >= size)) {
        return 0;
    }
    const long long wanted = size >= 0 && size < kPrefixBytes ? size : kPrefixBytes;
    return last + 1 >= wanted ? last + 1 : 0;
}

// What a reply to the ranged request stands for.
enum class RangeAnswer { Prefix, EmptyFile, AsToday, Refetch };

// The answer, and for a usable 206 the bytes it must carry.
bool classify(PyObject* response, RangeAnswer& answer, long long& carried) {
    const long status = status_of(response);
    if (status == -1 && PyErr_Occurred()) return false;
    answer = RangeAnswer::AsToday;
    if (status != kPartialContent && status != kRangeNotSatisfiable) return true;
    std::string range;
    if (!header_text(response, kContentRange, range)) return false;
    if (status == kRangeNotSatisfiable) {
        answer = range == "bytes */0" ? RangeAnswer::EmptyFile : RangeAnswer::Refetch;
        return true;
    }
    const int plain = is_plain_body(response);
    if (plain < 0) return false;
    carried = plain == 1 ? prefix_carried(range) : 0;
    answer = carried > 0 ? RangeAnswer::Prefix : RangeAnswer::Refetch;
    return true;
}

// A 206 that holds the prefix alone is read to its end, so that its
// connection serves the next file; it must carry what its range says.
Ref read_partial(PyObject* response, PyObject* url, long long carried) {
    Ref data = read_prefix(response, url, carried <= kPrefixBytes);
    const long long expected = carried < kPrefixBytes ? carried : kPrefixBytes;
    if (!data || PyBytes_GET_SIZE(data.get()) >= expected) return data;
    Ref announced = Ref::steal(PyLong_FromLongLong(carried));
    if (announced) raise_short_body(url, PyBytes_GET_SIZE(data.get()), announced.get());
    return {};
}

// The body of a 416 for an empty file, read so that its connection serves
// the next file; a failure costs only the connection.
bool discard_body(PyObject* response, PyObject* url) {
    if (read_prefix(response, url, true) || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return !PyErr_Occurred();
    }
    PyErr_Clear();
    return true;
}

Ref stream_from(const Route& route, PyObject* url, PyObject* header) {
    return route.get(url, {{names::headers, header}, {names::stream, Py_True}, {names::timeout, ints::six}});
}

// The prefix hash from the request for bytes 0-131071. Empty with no error
// set when the answer cannot stand for the prefix: the caller asks again
// without a range.
Ref ranged_preid(const Route& route, PyObject* url, PyObject* header) {
    Ref ranged = Ref::steal(PyDict_Copy(header));
    if (!ranged || PyDict_SetItem(ranged.get(), kRange, kPrefixRange) < 0) return {};
    Ref response = stream_from(route, url, ranged.get());
    if (!response) return {};
    CallOnExit closes(response.copy(), names::close);
    RangeAnswer answer = RangeAnswer::AsToday;
    long long carried = 0;
    if (!classify(response.get(), answer, carried)) return {};
    switch (answer) {
    case RangeAnswer::Prefix: return prefix_hash(read_partial(response.get(), url, carried));
    case RangeAnswer::EmptyFile:
        return discard_body(response.get(), url) ? Ref::borrow(kEmpty) : Ref();
    case RangeAnswer::Refetch: return {};
    case RangeAnswer::AsToday: break;
    }
    if (!check_status(response.get(), url)) return {};
    return prefix_hash(read_prefix(response.get(), url));
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
    Route route;
    if (!url || !route.choose()) return {};
    Ref response = route.get(url.get(), {{names::headers, header.get()}, {names::timeout, ints::six}});
    Ref text = response ? attr(response.get(), names::text) : Ref();
    Ref htmljson = text ? call_global_attr(names::json, names::loads, {text.get()}) : Ref();
    return htmljson ? item(htmljson.get(), kFileUrl) : Ref();
}

Ref get_preid(PyObject* const* args) {
    PyObject* url = args[0];
    PyObject* cookie = args[1];
    PyObject* cid = args[2];
    Ref header = download_headers(url, cookie, cid);
    Route route;
    if (!header || !route.choose()) return {};
    if (route.pooled()) {
        Ref preid = ranged_preid(route, url, header.get());
        if (preid || PyErr_Occurred()) return preid;
    }
    Ref response = stream_from(route, url, header.get());
    if (!response) return {};
    CallOnExit closes(response.copy(), names::close);
    if (!check_status(response.get(), url)) return {};
    return prefix_hash(read_prefix(response.get(), url));
}

}  // namespace fw::client
