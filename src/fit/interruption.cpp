#include "fit/interruption.hpp"

namespace kelvara {
namespace {

constexpr auto check_interval = std::chrono::milliseconds(50);
constexpr std::uint32_t calls_per_clock_read = 32;

thread_local InterruptScope* active = nullptr;

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check)
    : check_(check), previous_(active), last_(std::chrono::steady_clock::now()) {
    active = this;
}

InterruptScope::~InterruptScope() { active = previous_; }

bool InterruptScope::requested() {
    if (stopped_) return true;
    if (check_.check == nullptr || ++calls_ < calls_per_clock_read) return false;
    calls_ = 0;
    if (std::chrono::steady_clock::now() - last_ < check_interval) return false;
    stopped_ = check_.check(check_.context);
    last_ = std::chrono::steady_clock::now();
    return stopped_;
}

bool interruption_requested() { return active != nullptr && active->requested(); }

}  // namespace kelvara
