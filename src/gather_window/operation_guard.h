#pragma once

#include <atomic>
#include <optional>

namespace tallyfold {

// One operation at a time: a press while one runs is refused, and a close asked
// for meanwhile asks the operation to stop and waits for its end, since the
// operation still uses the window.
class OperationGuard {
public:
    class Scope {
    public:
        explicit Scope(OperationGuard& guard) : guard_(&guard) {
            guard.running_ = true;
            guard.stopRequested_ = false;
        }
        Scope(Scope&& other) noexcept : guard_(other.guard_) { other.guard_ = nullptr; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        Scope& operator=(Scope&&) = delete;
        ~Scope() {
            if (guard_)
                guard_->running_ = false;
        }

    private:
        OperationGuard* guard_;
    };

    // Empty while an operation runs; the scope ends it.
    std::optional<Scope> begin() {
        if (running_)
            return std::nullopt;
        return std::optional<Scope>(std::in_place, *this);
    }
    bool running() const { return running_; }

    // A close that came during an operation: the operation is asked to stop, and
    // the close is carried out once it has ended.
    void deferClose() {
        closeDeferred_ = true;
        stopRequested_ = true;
    }
    // The window is wanted again; an operation already asked to stop still stops.
    void cancelClose() { closeDeferred_ = false; }
    bool closeDeferred() const { return closeDeferred_; }
    // Read by the operation and the device link, from any thread, until the next operation begins.
    bool stopRequested() const { return stopRequested_.load(std::memory_order_relaxed); }

private:
    bool running_ = false;
    bool closeDeferred_ = false;
    std::atomic<bool> stopRequested_ = false;
};

}  // namespace tallyfold
