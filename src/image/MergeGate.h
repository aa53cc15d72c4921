#pragma once
// Lets one bracket fusion run at a time in the whole process: a fusion holds several
// full-size float images, so parallel items wait here instead of exhausting memory.
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace lw {

class MergeGate {
public:
    // Held while a fusion runs; leaving the scope opens the gate for the next waiter.
    class Permit {
    public:
        Permit(Permit&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
        Permit(const Permit&) = delete;
        Permit& operator=(const Permit&) = delete;
        Permit& operator=(Permit&&) = delete;
        ~Permit() {
            if (gate_) gate_->leave();
        }

    private:
        friend class MergeGate;
        explicit Permit(MergeGate* gate) : gate_(gate) {}
        MergeGate* gate_;
    };

    static MergeGate& shared();

    // Blocks until no other fusion runs; callers are served in arrival order.
    Permit enter();

    template <class F>
    auto run(F&& work) {
        Permit permit = enter();
        return work();
    }

    // Fusions running (0 or 1) and callers waiting; for diagnostics and tests.
    std::size_t running() const;
    std::size_t waiting() const;

private:
    void leave();

    mutable std::mutex mutex_;
    std::condition_variable turn_;
    bool busy_ = false;
    std::size_t nextTicket_ = 0;
    std::size_t serving_ = 0;
    std::size_t waiting_ = 0;
};

}  // namespace lw
