// Lets a long fit end early when its caller asks (Ctrl-C in Python).
//
// dispatch_fit installs the caller's check for the calling thread, where
// every method's loop runs; the loops ask `interruption_requested()` once per
// step. That looks at the clock every 32 calls and runs the caller's check
// at most every 50 ms, so short fits pay a counter increment per step.
#pragma once

#include <chrono>
#include <cstdint>

namespace kelvara {

// The caller's question "should the fit stop?"; it may be slow (it takes the
// interpreter lock). An empty check never stops.
struct InterruptCheck {
    bool (*check)(void* context) = nullptr;
    void* context = nullptr;
};

// Installs `check` for the calling thread while it lives; once the check has
// said stop, every later question in the scope is answered yes.
class InterruptScope {
public:
    explicit InterruptScope(InterruptCheck check);
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
    ~InterruptScope();

    bool requested();

private:
    InterruptCheck check_;
    InterruptScope* previous_;
    std::chrono::steady_clock::time_point last_;
    std::uint32_t calls_ = 0;
    bool stopped_ = false;
};

bool interruption_requested();

}  // namespace kelvara
