#include "image/MergeGate.h"

namespace lw {

MergeGate& MergeGate::shared() {
    static MergeGate gate;
    return gate;
}

MergeGate::Permit MergeGate::enter() {
    std::unique_lock lock(mutex_);
    const std::size_t ticket = nextTicket_++;
    ++waiting_;
    turn_.wait(lock, [&] { return !busy_ && serving_ == ticket; });
    --waiting_;
    busy_ = true;
    return Permit(this);
}

void MergeGate::leave() {
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
        ++serving_;
    }
    turn_.notify_all();
}

std::size_t MergeGate::running() const {
    std::lock_guard lock(mutex_);
    return busy_ ? 1 : 0;
}

std::size_t MergeGate::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

}  // namespace lw
