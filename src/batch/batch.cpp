// The batches: which one is the latest, and which one each thread works for.
#include "batch/batch.h"

#include "module/pycall.h"

namespace fw::batch {
namespace {

const Text kAbspath{"abspath"};

std::atomic<unsigned long> batches_started{0};
thread_local BatchBinding* bound = nullptr;

}  // namespace

std::shared_ptr<Batch> Batch::start() {
    Ref path_module = Ref::steal(PyImport_ImportModule("os.path"));
    Ref path = path_module ? call_method(path_module.get(), kAbspath, {output_file}) : Ref();
    if (!path) return nullptr;
    std::shared_ptr<Batch> batch(new Batch);
    batch->output_path_ = std::move(path);
    batch->number_ = batches_started.fetch_add(1) + 1;
    return batch;
}

bool Batch::latest() const noexcept { return number_ == batches_started.load(); }

BatchBinding::BatchBinding(std::shared_ptr<Batch> batch) : batch_(std::move(batch)), outer_(bound) {
    if (!batch_) return;
    run_binding_.emplace(batch_->run_handle());
    bound = this;
}

BatchBinding::~BatchBinding() {
    if (bound == this) bound = outer_;
}

Batch* current_batch() noexcept { return bound != nullptr ? bound->batch_.get() : nullptr; }

std::shared_ptr<Batch> current_batch_handle() {
    return bound != nullptr ? bound->batch_ : nullptr;
}

}  // namespace fw::batch
