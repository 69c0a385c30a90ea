#include "module/python.h"

#include "batch/resume.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "batch/batch.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::batch {
namespace {

using Fingerprint = DoneFiles::Fingerprint;

const Text kRead{"r"}, kEncoding{"encoding"}, kErrors{"errors"}, kUtf8{"utf-8"}, kIgnore{"ignore"},
    kReadMethod{"read"};

constexpr size_t kShaHexDigits = 40;
constexpr long kChunkChars = 1 << 20;  // characters read at a time

bool before(const Fingerprint& a, const Fingerprint& b) {
    return a.high != b.high ? a.high < b.high : a.low < b.low;
}
bool same(const Fingerprint& a, const Fingerprint& b) {
    return a.high == b.high && a.low == b.low;
}

// The finalizer of splitmix64: every input bit reaches every output bit.
uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Two lanes, seeded and combined differently, make a 128-bit fingerprint;
// a false match among a million lines is out of reach.
Fingerprint fingerprint(const char* data, size_t size) {
    uint64_t high = 0x9E3779B97F4A7C15ULL ^ size;
    uint64_t low = 0xC2B2AE3D27D4EB4FULL + size;
    for (size_t at = 0; at < size; at += 8) {
        uint64_t word = 0;
        std::memcpy(&word, data + at, std::min<size_t>(8, size - at));
        high = mix(high ^ word);
        low = mix(low + word * 0xFF51AFD7ED558CCDULL + at);
    }
    return {mix(high ^ low), low};
}

// The prefix field is what a finished line ends with: empty (an empty file)
// or 40 upper-case hex digits.
bool is_prefix_hash(const char* field, size_t size) {
    if (size == 0) return true;
    if (size != kShaHexDigits) return false;
    return std::all_of(field, field + size, [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    });
}

}  // namespace

void DoneFiles::add_line(const char* line, size_t size) {
    const char* end = line + size;
    const char* last_bar = std::find(std::make_reverse_iterator(end),
                                     std::make_reverse_iterator(line), '|').base();
    if (last_bar == line) return;  // no bar at all
    const char* key_end = last_bar - 1;
    if (!is_prefix_hash(last_bar, static_cast<size_t>(end - last_bar))) return;
    if (std::count(line, key_end, '|') < 2) return;  // not name|size|sha
    done_.push_back(fingerprint(line, static_cast<size_t>(key_end - line)));
}

bool DoneFiles::load(PyObject* file_name) {
    done_.clear();
    Ref file = call(scope::builtin_open(), {file_name, kRead}, {{kEncoding, kUtf8}, {kErrors, kIgnore}});
    if (!file) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return false;
        PyErr_Clear();
        return true;
    }
    CallOnExit closes(file.copy(), names::close);
    Ref chunk_size = Ref::steal(PyLong_FromLong(kChunkChars));
    if (!chunk_size) return false;
    std::string pending;  // the start of a line the last chunk did not finish
    for (;;) {
        Ref chunk = call_method(file.get(), kReadMethod, {chunk_size.get()});
        if (!chunk) return false;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(chunk.get(), &size);
        if (text == nullptr) return false;
        if (size == 0) break;
        const char* end = text + size;
        for (const char* at = text;;) {
            const char* newline = std::find(at, end, '\n');
            if (newline == end) {
                pending.append(at, end);
                break;
            }
            if (pending.empty()) {
                add_line(at, static_cast<size_t>(newline - at));
            } else {
                pending.append(at, newline);
                add_line(pending.data(), pending.size());
                pending.clear();
            }
            at = newline + 1;
        }
    }
    // What is left after the last line break is a line cut short: not done.
    std::sort(done_.begin(), done_.end(), before);
    done_.erase(std::unique(done_.begin(), done_.end(), same), done_.end());
    done_.shrink_to_fit();
    return true;
}

int DoneFiles::has_line(PyObject* entry) const {
    if (done_.empty()) return 0;
    Ref shown = one_line(entry);  // the form its line was written in
    Ref bytes = shown ? Ref::steal(PyUnicode_AsEncodedString(shown.get(), "utf-8", "ignore")) : Ref();
    if (!bytes) return -1;
    const char* data = PyBytes_AS_STRING(bytes.get());
    const char* end = data + PyBytes_GET_SIZE(bytes.get());
    // name|size|sha is everything before the pickcode, the last field.
    const char* last_bar = std::find(std::make_reverse_iterator(end),
                                     std::make_reverse_iterator(data), '|').base();
    if (last_bar == data) return 0;
    const Fingerprint key = fingerprint(data, static_cast<size_t>(last_bar - 1 - data));
    return std::binary_search(done_.begin(), done_.end(), key, before) ? 1 : 0;
}

}  // namespace fw::batch
