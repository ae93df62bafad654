#include "runtime/sleep.h"

#include "runtime/runtime.h"

namespace pacpick::rt {

Sleep::~Sleep() {
    if (reactor_ != nullptr) {
        reactor_->remove_timer(key_);
    }
}

Poll<Unit> Sleep::poll(const Waker& waker) {
    if (Clock::now() >= deadline_) {
        if (reactor_ != nullptr) {
            reactor_->remove_timer(key_);
            reactor_ = nullptr;
        }
        return Unit{};
    }
    if (reactor_ == nullptr || !reactor_->update_timer(key_, waker)) {
        reactor_ = &current_reactor();
        key_ = reactor_->add_timer(deadline_, waker);
    }
    return Poll<Unit>::pending();
}

}  // namespace pacpick::rt
