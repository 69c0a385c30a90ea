#include "module/python.h"

#include "client/transport.h"

#include "client/run.h"
#include "client/watchdog.h"
#include "module/shared.h"

namespace fw::client {
namespace {

const Text kApi{"api"}, kSession{"Session"}, kCookies{"cookies"}, kSetPolicy{"set_policy"},
    kDefaultCookiePolicy{"DefaultCookiePolicy"}, kAllowedDomains{"allowed_domains"},
    kResponse{"response"};

SharedRef package_slot;  // the installed requests package
SharedRef session_slot;  // the shared session, from first use to the end of the batch

// A session of the package whose cookie policy admits no domain: a cookie a
// reply sets is neither stored nor sent later, as with a fresh requests.get.
Ref new_session(PyObject* package) {
    Ref session = call_method(package, kSession);
    Ref cookies = session ? attr(session.get(), kCookies) : Ref();
    Ref cookiejar = cookies ? Ref::steal(PyImport_ImportModule("http.cookiejar")) : Ref();
    Ref no_domain = cookiejar ? Ref::steal(PyList_New(0)) : Ref();
    Ref policy = no_domain ? call_method(cookiejar.get(), kDefaultCookiePolicy, {},
                                         {{kAllowedDomains, no_domain.get()}})
                           : Ref();
    if (!policy || !call_method(cookies.get(), kSetPolicy, {policy.get()})) return {};
    return session;
}

Ref shared_session(PyObject* package) {
    if (Ref session = session_slot.get()) return session;
    Ref made = new_session(package);
    return made ? session_slot.set_once(std::move(made)) : Ref();
}

// 1 when `module_requests` is the installed package calling its own get.
int is_package_itself(PyObject* module_requests, PyObject* package) {
    if (module_requests != package) return 0;
    Ref get = attr(package, names::get);
    Ref api = get ? attr(package, kApi) : Ref();
    Ref own = api ? attr(api.get(), names::get) : Ref();
    if (!own) return -1;
    return get.get() == own.get() ? 1 : 0;
}

}  // namespace

Ref requests_package() {
    if (Ref package = package_slot.get()) return package;
    Ref imported = Ref::steal(PyImport_ImportModule("requests"));
    return imported ? package_slot.set_once(std::move(imported)) : Ref();
}

bool Route::choose() {
    via_ = scope::global(names::requests);
    pooled_ = false;
    if (!via_) return false;
    Ref package = requests_package();
    if (!package) {  // not installed: only a replacement can serve
        PyErr_Clear();
        return true;
    }
    const int itself = is_package_itself(via_.get(), package.get());
    if (itself <= 0) return itself == 0;
    Ref session = shared_session(package.get());
    if (!session) return false;
    via_ = std::move(session);
    pooled_ = true;
    return true;
}

// For a thread that works for a batch, through the pacer: spaced, and sent
// again when refused.
Ref Route::get(PyObject* url, std::initializer_list<Kw> keywords) const {
    Run* run = current_run();
    if (run == nullptr) return send(url, keywords);
    PyObject* headers = nullptr;
    for (const Kw& keyword : keywords) {
        if (keyword.name == names::headers.get()) headers = keyword.value;
    }
    return paced_get(url, headers, *run, [&] { return send(url, keywords); });
}

Ref Route::send(PyObject* url, std::initializer_list<Kw> keywords) const {
    return call_method(via_.get(), names::get, {url}, keywords);
}

void raise_request_error(PyObject* kind, Ref message, PyObject* response) {
    Ref package = message ? requests_package() : Ref();
    if (!package) return;
    Ref error = response != nullptr
                    ? call_method(package.get(), kind, {message.get()}, {{kResponse, response}})
                    : call_method(package.get(), kind, {message.get()});
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

void close_transport() {
    Cleanup cleanup;
    if (Ref session = session_slot.take()) cleanup.step(bool(call_method(session.get(), names::close)));
    stop_watchdog(cleanup);
    cleanup.finish();
}

}  // namespace fw::client
