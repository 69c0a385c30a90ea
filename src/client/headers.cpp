#include "module/python.h"

#include "client/headers.h"

#include "client/hosts.h"
#include "module/names.h"
#include "module/pycall.h"

namespace fw::client {
namespace {

const Text kAccept{"Accept"}, kAcceptEncoding{"Accept-Encoding"},
    kAcceptLanguage{"Accept-Language"}, kConnection{"Connection"}, kCookie{"cookie"},
    kHost{"Host"}, kReferer{"Referer"}, kUserAgent{"User-Agent"},
    kRequestedWith{"X-Requested-With"};

const Text kAnyType{"*/*"}, kEncodings{"gzip, deflate, br"}, kLanguages{"zh-CN,zh;q=0.9"},
    kKeepAlive{"keep-alive"},
    kBrowser{"Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
             "Chrome/62.0.3202.94 Safari/537.36"},
    kXhr{"XMLHttpRequest"}, kApiHost{FW_API_HOST}, kApsHost{FW_APS_HOST},
    kApiReferer{FW_API_BASE "/bridge_2.0.html?namespace=Core.DataAccess&api=UDataAPI&_t=v5"},
    kApsReferer{FW_APS_BASE "/bridge_2.0.html?namespace=Core.DataAccess&api=DataAPSAPI&_t=v5"},
    kSiteRefererHead{FW_SITE_BASE "/?cid="}, kSiteRefererTail{"&offset=0&mode=wangpan"},
    kSlash{"/"};

// Where an entry's value comes from: a constant, or one of the per-call values.
enum class From { Constant, Cookie, Host, Referer };

struct Entry {
    const Text* name;
    From from;
    const Text* value;  // for From::Constant
};

constexpr size_t kMaxEntries = 9;

struct Table {
    Entry entries[kMaxEntries];
    size_t size;
};

const Table kListing = {{{&kAccept, From::Constant, &kAnyType},
                         {&kAcceptEncoding, From::Constant, &kEncodings},
                         {&kAcceptLanguage, From::Constant, &kLanguages},
                         {&kConnection, From::Constant, &kKeepAlive},
                         {&kCookie, From::Cookie, nullptr},
                         {&kHost, From::Constant, &kApiHost},
                         {&kReferer, From::Constant, &kApiReferer},
                         {&kUserAgent, From::Constant, &kBrowser},
                         {&kRequestedWith, From::Constant, &kXhr}},
                        9};

const Table kApsListing = {{{&kAccept, From::Constant, &kAnyType},
                            {&kAcceptEncoding, From::Constant, &kEncodings},
                            {&kAcceptLanguage, From::Constant, &kLanguages},
                            {&kConnection, From::Constant, &kKeepAlive},
                            {&kCookie, From::Cookie, nullptr},
                            {&kHost, From::Constant, &kApsHost},
                            {&kReferer, From::Constant, &kApsReferer},
                            {&kUserAgent, From::Constant, &kBrowser},
                            {&kRequestedWith, From::Constant, &kXhr}},
                           9};

const Table kDownloadAddress = {{{&kHost, From::Constant, &kApiHost},
                                 {&kConnection, From::Constant, &kKeepAlive},
                                 {&kAccept, From::Constant, &kAnyType},
                                 {&kRequestedWith, From::Constant, &kXhr},
                                 {&kUserAgent, From::Constant, &kBrowser},
                                 {&kReferer, From::Constant, &kApiReferer},
                                 {&kAcceptEncoding, From::Constant, &kEncodings},
                                 {&kAcceptLanguage, From::Constant, &kLanguages},
                                 {&kCookie, From::Cookie, nullptr}},
                                9};

const Table kDownload = {{{&kHost, From::Host, nullptr},
                          {&kUserAgent, From::Constant, &kBrowser},
                          {&kAccept, From::Constant, &kAnyType},
                          {&kReferer, From::Referer, nullptr},
                          {&kCookie, From::Cookie, nullptr},
                          {&kAcceptEncoding, From::Constant, &kEncodings},
                          {&kAcceptLanguage, From::Constant, &kLanguages}},
                         7};

const Table& table_of(HeaderSet set) {
    switch (set) {
    case HeaderSet::Listing: return kListing;
    case HeaderSet::ApsListing: return kApsListing;
    case HeaderSet::DownloadAddress: return kDownloadAddress;
    case HeaderSet::Download: break;
    }
    return kDownload;
}

Ref build(const Table& table, PyObject* cookie, PyObject* host, PyObject* referer) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    for (size_t i = 0; i < table.size; ++i) {
        const Entry& entry = table.entries[i];
        PyObject* value = entry.from == From::Cookie    ? cookie
                          : entry.from == From::Host    ? host
                          : entry.from == From::Referer ? referer
                                                        : entry.value->get();
        if (PyDict_SetItem(dict.get(), *entry.name, value) < 0) return {};
    }
    return dict;
}

}  // namespace

Ref build_headers(HeaderSet set, PyObject* cookie) {
    return build(table_of(set), cookie, Py_None, Py_None);
}

Ref download_headers(PyObject* url, PyObject* cookie, PyObject* cid) {
    Ref pieces = call_method(url, names::split, {kSlash});
    if (!pieces) return {};
    Ref host = item_at(pieces.get(), 2);
    if (!host) return {};
    Ref folder = to_str(cid);
    if (!folder) return {};
    Ref referer = concat({kSiteRefererHead, folder.get(), kSiteRefererTail});
    if (!referer) return {};
    return build(kDownload, cookie, host.get(), referer.get());
}

}  // namespace fw::client
