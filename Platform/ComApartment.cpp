#include "Platform/ComApartment.h"

namespace platform {

ComApartment::Model ComApartment::modelFor(std::string_view threadingModel) {
    const auto is = [&](std::string_view name) {
        if (threadingModel.size() != name.size()) {
            return false;
        }
        for (size_t i = 0; i < name.size(); ++i) {
            if ((threadingModel[i] | 0x20) != (name[i] | 0x20)) {
                return false;
            }
        }
        return true;
    };
    return is("Free") || is("Both") ? Model::kMultithreaded : Model::kSingleThreaded;
}

std::unique_ptr<ComApartment> ComApartment::start(Model model) {
    std::unique_ptr<ComApartment> apartment(new ComApartment);
    ComApartment* const self = apartment.get();
    apartment->thread_ = Thread::start([self, model] { self->serve(model); });
    if (!apartment->thread_) {
        return nullptr;
    }
    std::unique_lock lock(apartment->mutex_);
    apartment->changed_.wait(lock, [self] { return self->state_ != State::kStarting; });
    if (apartment->state_ == State::kFailed) {
        lock.unlock();
        return nullptr;
    }
    return apartment;
}

ComApartment::~ComApartment() {
    if (thread_) {
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
        }
        wake();
        thread_.reset();
    }
    closeWake();
}

void ComApartment::run(const std::function<void()>& task) {
    if (isApartmentThread()) {
        task();
        return;
    }
    Task queued{&task, nullptr, false};
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(&queued);
    }
    wake();
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return queued.done; });
    }
    if (queued.failure) {
        std::rethrow_exception(queued.failure);
    }
}

bool ComApartment::workHandedIn() {
    std::lock_guard lock(mutex_);
    return !queue_.empty() || ending_;
}

void ComApartment::serve(Model model) {
    nameCurrentThread("com-apartment");
    const bool entered = enter(model);
    {
        std::lock_guard lock(mutex_);
        apartmentThread_ = std::this_thread::get_id();
        state_ = entered ? State::kServing : State::kFailed;
    }
    changed_.notify_all();
    if (!entered) {
        return;
    }
    for (;;) {
        waitForWork();
        std::deque<Task*> work;
        bool end;
        {
            std::lock_guard lock(mutex_);
            work.swap(queue_);
            end = ending_;
        }
        for (Task* task : work) {
            try {
                (*task->body)();
            } catch (...) {
                task->failure = std::current_exception();
            }
            std::lock_guard lock(mutex_);
            task->done = true;
        }
        if (!work.empty()) {
            changed_.notify_all();
        }
        if (end) {
            break;
        }
    }
    leave();
}

}  // namespace platform
