#pragma once

#include <optional>

namespace tallyfold {

// One operation at a time: a press while one runs is refused, and a close asked
// for meanwhile waits for its end, since the operation still uses the window.
class OperationGuard {
public:
    class Scope {
    public:
        explicit Scope(OperationGuard& guard) : guard_(&guard) { guard.running_ = true; }
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

    // A close that came during an operation: carried out once the operation has ended.
    void deferClose() { closeDeferred_ = true; }
    void cancelClose() { closeDeferred_ = false; }
    bool closeDeferred() const { return closeDeferred_; }

private:
    bool running_ = false;
    bool closeDeferred_ = false;
};

}  // namespace tallyfold
