// The batches: which one is the latest, and which one each thread works for.
#include "module/python.h"

#include "batch/batch.h"

#include <mutex>

#include "module/pycall.h"

namespace fw::batch {
namespace {

const Text kAbspath{"abspath"};
constexpr const char kCapsuleName[] = "fernwick.batch";

std::atomic<unsigned long> batches_started{0};
thread_local BatchBinding* bound = nullptr;

// The batches alive. Their lock is taken only by a thread in the interpreter
// and never held across a call into Python, so a fork (which holds the
// interpreter, or stops every thread of a free-threaded one) finds it free.
std::mutex batches_lock;
Batch* first_batch = nullptr;
Batch* last_batch = nullptr;

}  // namespace

Ref Batch::start() {
    Ref path_module = Ref::steal(PyImport_ImportModule("os.path"));
    Ref path = path_module ? call_method(path_module.get(), kAbspath, {output_file}) : Ref();
    if (!path) return {};
    auto* batch = new Batch;
    Ref capsule = Ref::steal(PyCapsule_New(batch, kCapsuleName, release));
    if (!capsule) {
        delete batch;
        return {};
    }
    batch->output_path_ = std::move(path);
    batch->number_ = batches_started.fetch_add(1) + 1;
    std::lock_guard<std::mutex> hold(batches_lock);
    batch->previous_ = last_batch;
    (last_batch != nullptr ? last_batch->next_ : first_batch) = batch;
    last_batch = batch;
    return capsule;
}

void Batch::release(PyObject* capsule) {
    auto* batch = static_cast<Batch*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (batch == nullptr) return;
    {
        std::lock_guard<std::mutex> hold(batches_lock);
        (batch->previous_ != nullptr ? batch->previous_->next_ : first_batch) = batch->next_;
        (batch->next_ != nullptr ? batch->next_->previous_ : last_batch) = batch->previous_;
    }
    delete batch;
}

void Batch::each(void (*visit)(Batch&)) noexcept {
    std::lock_guard<std::mutex> hold(batches_lock);
    for (Batch* batch = first_batch; batch != nullptr; batch = batch->next_) visit(*batch);
}

Batch* Batch::in(PyObject* capsule) noexcept {
    if (!PyCapsule_IsValid(capsule, kCapsuleName)) return nullptr;
    return static_cast<Batch*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

bool Batch::latest() const noexcept { return number_ == batches_started.load(); }

BatchBinding::BatchBinding(Ref capsule)
    : capsule_(std::move(capsule)), batch_(capsule_ ? Batch::in(capsule_.get()) : nullptr),
      outer_(bound) {
    if (batch_ == nullptr) return;
    run_binding_.emplace(&batch_->run());
    bound = this;
}

BatchBinding::~BatchBinding() {
    if (bound == this) bound = outer_;
}

Batch* current_batch() noexcept { return bound != nullptr ? bound->batch_ : nullptr; }

PyObject* current_batch_capsule() noexcept {
    return bound != nullptr ? bound->capsule_.get() : nullptr;
}

}  // namespace fw::batch
