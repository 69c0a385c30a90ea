// SharedRef: one reference that several threads read, fill and empty.
//
// The lock guards only the pointer. No Python code runs while it is held (a
// reference it gives up is released after the lock is given back), so it can
// neither deadlock against the interpreter's lock nor be re-entered.
//
// The constructor is not constexpr: std::mutex's is not in every standard
// library (mingw-w64's, and Microsoft's before Visual Studio 2022 17.10), so a
// slot at namespace scope may be initialized dynamically, when the library is
// loaded. That is safe: the loader runs it on one thread, and nothing uses a
// slot before the module's import, which comes after it.
#pragma once

#include "module/python.h"

#include <mutex>
#include <utility>

#include "module/ref.h"

namespace fw {

class SharedRef {
public:
    SharedRef() noexcept = default;
    SharedRef(const SharedRef&) = delete;
    SharedRef& operator=(const SharedRef&) = delete;

    Ref get() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return Ref::borrow(obj_);
    }
    // Keeps `candidate` unless another thread filled the slot first; returns
    // the reference the slot holds afterwards.
    Ref set_once(Ref candidate) {
        Ref kept;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (obj_ == nullptr) obj_ = candidate.copy().release();
            kept = Ref::borrow(obj_);
        }
        return kept;  // a candidate that lost is released here, unlocked
    }
    // Fills the slot with `value`, whatever it held; what it held is
    // released here, unlocked.
    void replace(Ref value) {
        Ref old;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            old = Ref::steal(std::exchange(obj_, value.release()));
        }
    }
    // Empties the slot at the end of its owner, which may come on a thread
    // the interpreter is ending: what it held is released only where the
    // interpreter is sure to be there, and left otherwise.
    void empty_at_end() {
        Ref held = take();
        if (!Ref::holds_interpreter()) held.abandon();
    }
    // Empties the slot and hands over what it held.
    Ref take() {
        std::lock_guard<std::mutex> hold(mutex_);
        return Ref::steal(std::exchange(obj_, nullptr));
    }

private:
    mutable std::mutex mutex_;
    PyObject* obj_ = nullptr;  // never released at exit: the interpreter may be gone
};

}  // namespace fw
