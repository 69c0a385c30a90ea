// The folder listings. get_sha1list and get_cidlist walk the pages of a
// folder the same way; each supplies its addresses and what to do with one
// item of a page.
#include "module/python.h"

#include "client/client.h"
#include "client/headers.h"
#include "client/hosts.h"
#include "client/retry.h"
#include "client/run.h"
#include "client/transport.h"
#include "module/compat.h"
#include "module/console.h"
#include "module/messages.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {

const Text kState{"state"}, kCount{"count"}, kData{"data"}, kCeil{"ceil"},
    kKeys{"keys"}, kSize{"s"}, kName{"n"}, kSha{"sha"}, kPickcode{"pc"}, kCid{"cid"}, kBar{"|"},
    kEmpty{""}, kRequestException{"RequestException"}, kPageHead{"正在获取第"}, kPageMiddle{"页/总共"}, kPageTail{"页"};

const Text kApiFiles{FW_API_BASE "/files?aid=1&cid="},
    kApsFiles{FW_APS_BASE "/natsort/files.php?aid=1&cid="}, kOffset{"&offset="},
    kByName{"&o=file_name&asc=1"}, kByTime{"&o=user_ptime&asc=0"};

// What follows the offset in each of the four listings.
const Text kFilesApiParams{
    "&show_dir=1&limit=115&code=&scid=&snap=0&natsort=1&source=&format=json&type="},
    kFilesApsParams{"&show_dir=1&limit=115&code=&scid=&snap=0&natsort=1&record_open_time=1"
                    "&source=&format=json&fc_mix=0&type="},
    kFilesSuffix{"&star=&is_share=&suffix="}, kFilesTail{"&custom_order=&is_q="},
    kFoldersApiTail{"&show_dir=1&limit=115&code=&scid=&snap=0&natsort=1&source=&format=json"
                    "&type=&star=&suffix=&is_q=&is_share=&custom_order=&fc_mix="},
    kFoldersApsTail{"&show_dir=1&limit=115&code=&scid=&snap=0&natsort=1&source=&format=json"
                    "&type=&star=&is_share=&suffix=&custom_order=&fc_mix=&is_q="};

// One listing of one folder: every page address is head + offset + tail.
struct Listing {
    Ref head;  // base + str(cid) + ordering + "&offset="
    Ref tail;  // the rest of the query
    Ref headers;
};

Ref page_url(const Listing& listing, PyObject* offset) {
    Ref text = to_str(offset);
    if (!text) return {};
    return concat({listing.head.get(), text.get(), listing.tail.get()});
}

thread_local bool exhausted = false;  // see listing_exhausted()

// What a parsed reply must show before its items are read.
enum class Page {
    Choosing,  // the API's first reply: a `state` that is not true picks the APS listing
    Items,     // any other: a `state` that is not true is a failure of the service
};

// 1 when the reply may be read as its page, 0 when the service reports a
// failure (a later page's `state` not true, `data` that is not a list) and
// the page is to be asked for again, -1 on error. A reply without `state` or
// `data` passes: the walk meets what is missing and fails with it.
int page_readable(PyObject* htmljson, Page page) {
    if (!PyDict_Check(htmljson)) return 1;
    Ref state;
    if (compat::dict_item(htmljson, kState, state) < 0) return -1;
    if (state) {
        const int success = PyObject_RichCompareBool(state.get(), Py_True, Py_EQ);
        if (success <= 0) return success < 0 ? -1 : page == Page::Choosing ? 1 : 0;
    }
    Ref data;
    if (compat::dict_item(htmljson, kData, data) < 0) return -1;
    return !data || PyList_Check(data.get()) ? 1 : 0;
}

// One attempt: the request, the parse of its reply and its check. A reply
// that reports a failure raises requests.RequestException with the reply.
Ref fetch_once(PyObject* url, PyObject* headers, Page page) {
    Route route;
    if (!route.choose()) return {};
    Ref response = route.get(url, {{names::headers, headers}, {names::timeout, ints::listing_timeout}});
    if (!response) return {};
    Ref text = attr(response.get(), names::text);
    Ref htmljson = text ? call_global_attr(names::json, names::loads, {text.get()}) : Ref();
    if (!htmljson) return {};
    const int readable = page_readable(htmljson.get(), page);
    if (readable == 1) return htmljson;
    if (readable == 0) {
        raise_request_error(kRequestException,
                            Ref::steal(PyUnicode_FromFormat(msg::kListingRefused, url)),
                            response.get());
    }
    return {};
}

// A request that raises, a reply that is not JSON or that reports a failure
// is tried again; the caller handles the items of the one reply that passed.
// A halted batch tries nothing more and fails with the halt's exception.
Ref fetch(PyObject* url, PyObject* headers, Page page = Page::Items) {
    Ref htmljson;
    const Run* run = current_run();
    const Retried end = retry(htmljson, [&] { return fetch_once(url, headers, page); },
                              [run] { return run == nullptr || !run->halted(); });
    exhausted = end == Retried::Exhausted;
    if (end == Retried::Stopped) run->no_halt();
    return end == Retried::Done ? std::move(htmljson) : Ref();
}

using ItemAction = bool (*)(PyObject* item);

bool for_each_item(PyObject* htmljson, ItemAction action) {
    Ref data = item(htmljson, kData);
    if (!data) return false;
    Ref items = Ref::steal(PyObject_GetIter(data.get()));
    if (!items) return false;
    while (Ref each = Ref::steal(PyIter_Next(items.get()))) {
        if (!action(each.get())) return false;
    }
    return !PyErr_Occurred();
}

bool print_progress(PyObject* mun, PyObject* page) {
    Ref number = to_str(mun);
    Ref total = number ? to_str(page) : Ref();
    if (!total) return false;
    Ref message = concat({kPageHead, number.get(), kPageMiddle, total.get(), kPageTail});
    return message && console::tell(message.get());
}

// A count no folder can hold would keep the walk requesting empty pages for
// days: refuse it up front.
bool check_page_count(PyObject* page, PyObject* count) {
    const int too_many = PyObject_RichCompareBool(page, ints::max_pages, Py_GT);
    if (too_many > 0) PyErr_Format(PyExc_ValueError, msg::kTooManyPages, count, ints::max_pages.get());
    return too_many == 0;
}

// The pages of a listing whose first reply is `htmljson`: the page count from
// that reply, its items, then pages 2 and up. Returns the last reply parsed;
// each page's items are handled as soon as it is parsed.
Ref walk_pages(const Listing& listing, Ref htmljson, ItemAction action) {
    Ref count = item(htmljson.get(), kCount);
    if (!count) return {};
    Ref ratio = Ref::steal(PyNumber_TrueDivide(count.get(), ints::page_size));
    if (!ratio) return {};
    Ref page = call_global_attr(names::math, kCeil, {ratio.get()});
    if (!page || !check_page_count(page.get(), count.get()) ||
        !for_each_item(htmljson.get(), action)) {
        return {};
    }
    const int more = PyObject_RichCompareBool(page.get(), ints::one, Py_GT);
    if (more <= 0) return more < 0 ? Ref() : std::move(htmljson);

    Ref stop = Ref::steal(PyNumber_Add(page.get(), ints::one));
    if (!stop) return {};
    Ref numbers = call(scope::builtin_range(), {ints::two, stop.get()});
    Ref pages = numbers ? Ref::steal(PyObject_GetIter(numbers.get())) : Ref();
    if (!pages) return {};
    while (Ref mun = Ref::steal(PyIter_Next(pages.get()))) {
        if (!print_progress(mun.get(), page.get())) return {};
        Ref before = Ref::steal(PyNumber_Subtract(mun.get(), ints::one));
        Ref offset = before ? Ref::steal(PyNumber_Multiply(before.get(), ints::page_size)) : Ref();
        Ref url = offset ? page_url(listing, offset.get()) : Ref();
        if (!url) return {};
        htmljson = fetch(url.get(), listing.headers.get());
        if (!htmljson || !for_each_item(htmljson.get(), action)) return {};
    }
    if (PyErr_Occurred()) return {};
    return htmljson;
}

struct Addresses {
    const Text& base;
    const Text& ordering;
};

Listing open_listing(const Addresses& where, PyObject* cid, Ref tail, HeaderSet set,
                     PyObject* cookie) {
    Listing listing;
    Ref folder = to_str(cid);
    if (!folder || !tail) return listing;
    listing.head = concat({where.base, folder.get(), where.ordering, kOffset});
    if (!listing.head) return listing;
    listing.tail = std::move(tail);
    listing.headers = build_headers(set, cookie);
    return listing;
}

// The API listing, and the APS listing instead when the API's first reply
// does not report success. Returns the last reply parsed.
Ref walk_folder(PyObject* cid, PyObject* cookie, const Addresses& api, Ref api_tail,
                const Addresses& aps, Ref aps_tail, ItemAction action) {
    Listing listing = open_listing(api, cid, std::move(api_tail), HeaderSet::Listing, cookie);
    if (!listing.headers) return {};
    Ref url = page_url(listing, ints::zero);
    Ref htmljson = url ? fetch(url.get(), listing.headers.get(), Page::Choosing) : Ref();
    if (!htmljson) return {};
    Ref state = item(htmljson.get(), kState);
    if (!state) return {};
    const int success = PyObject_RichCompareBool(state.get(), Py_True, Py_EQ);
    if (success < 0) return {};
    if (success == 0) {
        listing = open_listing(aps, cid, std::move(aps_tail), HeaderSet::ApsListing, cookie);
        if (!listing.headers) return {};
        url = page_url(listing, ints::zero);
        htmljson = url ? fetch(url.get(), listing.headers.get()) : Ref();
        if (!htmljson) return {};
    }
    return walk_pages(listing, std::move(htmljson), action);
}

// "s" among the item's keys marks a file; its absence, a folder.
int is_file(PyObject* each) {
    Ref keys = call_method(each, kKeys);
    return keys ? PySequence_Contains(keys.get(), kSize) : -1;
}

bool append_to(PyObject* list_name, PyObject* value) {
    Ref list = scope::global(list_name);
    return list && call_method(list.get(), names::append, {value});
}

// name|size|sha|pickcode
bool add_file_entry(PyObject* each) {
    const int file = is_file(each);
    if (file <= 0) return file == 0;
    Ref name = item(each, kName);
    Ref size_value = name ? item(each, kSize) : Ref();
    Ref size = size_value ? to_str(size_value.get()) : Ref();
    Ref sha = size ? item(each, kSha) : Ref();
    Ref pickcode = sha ? item(each, kPickcode) : Ref();
    if (!pickcode) return false;
    Ref entry = concat({name.get(), kBar, size.get(), kBar, sha.get(), kBar, pickcode.get()});
    return entry && append_to(names::sha1list, entry.get());
}

bool add_folder_id(PyObject* each) {
    const int file = is_file(each);
    if (file != 0) return file > 0;
    Ref cid = item(each, kCid);
    return cid && append_to(names::cidlist, cid.get());
}

const Text kTypeDigits[] = {Text{"1"}, Text{"2"}, Text{"3"}, Text{"4"}, Text{"5"}, Text{"6"}};
const Text kNoFilter{"0"};

// The type filter: "1" to "6" are sent as `type`, "0" as nothing, anything
// else as `suffix`.
bool map_type(PyObject* type, Ref& type_sent, Ref& suffix_sent) {
    for (const Text& digit : kTypeDigits) {
        const int equal = PyObject_RichCompareBool(type, digit, Py_EQ);
        if (equal < 0) return false;
        if (equal == 1) {
            type_sent = Ref::borrow(type);
            suffix_sent = Ref::borrow(kEmpty);
            return true;
        }
    }
    const int zero = PyObject_RichCompareBool(type, kNoFilter, Py_EQ);
    if (zero < 0) return false;
    type_sent = Ref::borrow(kEmpty);
    suffix_sent = Ref::borrow(zero == 1 ? kEmpty.get() : type);
    return true;
}

}  // namespace

bool listing_exhausted() noexcept { return exhausted; }

Ref get_sha1list(PyObject* const* args) {
    exhausted = false;
    PyObject* cid = args[0];
    PyObject* type = args[1];
    PyObject* cookie = args[2];
    Ref type_sent, suffix_sent;
    if (!map_type(type, type_sent, suffix_sent)) return {};
    Ref type_text = to_str(type_sent.get());
    Ref suffix_text = type_text ? to_str(suffix_sent.get()) : Ref();
    if (!suffix_text) return {};
    auto tail = [&](const Text& params) {
        return concat({params, type_text.get(), kFilesSuffix, suffix_text.get(), kFilesTail});
    };
    Ref last = walk_folder(cid, cookie, {kApiFiles, kByName}, tail(kFilesApiParams),
                           {kApsFiles, kByName}, tail(kFilesApsParams), add_file_entry);
    return last ? item(last.get(), kCount) : Ref();
}

Ref get_cidlist(PyObject* const* args) {
    exhausted = false;
    Ref last = walk_folder(args[0], args[1], {kApiFiles, kByTime}, Ref::borrow(kFoldersApiTail),
                           {kApsFiles, kByName}, Ref::borrow(kFoldersApsTail), add_folder_id);
    return last ? Ref::borrow(Py_None) : Ref();
}

}  // namespace fw::client
