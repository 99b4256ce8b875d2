#include "start/process_variants.hpp"

#include <algorithm>
#include <cmath>

namespace kelvara::start {
namespace {

constexpr double default_alpha = 0.9;
// Up to this many slots, every order of the processes is tried (4! = 24).
constexpr std::size_t max_permuted_slots = 4;

// Two neighbours as one process: resistances add, the time constant is
// their resistance-weighted geometric mean.
Process merged(const Process& a, const Process& b) {
    const double r = a.resistance + b.resistance;
    const double w = r > 0.0 ? a.resistance / r : 0.5;
    return {r, std::exp(w * std::log(a.tau) + (1.0 - w) * std::log(b.tau)), std::min(a.alpha, b.alpha)};
}

// Merges the closest neighbours (in ln tau) until `slots` remain.
std::vector<Process> merge_closest(std::vector<Process> p, std::size_t slots) {
    while (p.size() > slots) {
        std::size_t at = 0;
        double closest = INFINITY;
        for (std::size_t k = 0; k + 1 < p.size(); ++k) {
            const double gap = std::log(p[k + 1].tau / p[k].tau);
            if (gap < closest) {
                closest = gap;
                at = k;
            }
        }
        p[at] = merged(p[at], p[at + 1]);
        p.erase(p.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    }
    return p;
}

// Keeps the `slots` largest processes, in tau order.
std::vector<Process> largest(std::vector<Process> p, std::size_t slots) {
    std::vector<Process> by_size = p;
    std::stable_sort(by_size.begin(), by_size.end(),
                     [](const Process& a, const Process& b) { return a.resistance > b.resistance; });
    by_size.resize(slots);
    std::sort(by_size.begin(), by_size.end(), [](const Process& a, const Process& b) { return a.tau < b.tau; });
    return by_size;
}

// Splits the largest process in two, half a decade either side, until
// there are `slots`.
std::vector<Process> split_largest(std::vector<Process> p, std::size_t slots) {
    while (p.size() < slots) {
        const auto it = std::max_element(p.begin(), p.end(), [](const Process& a, const Process& b) {
            return a.resistance < b.resistance;
        });
        const Process big = *it;
        const double step = std::sqrt(10.0);
        *it = {big.resistance / 2, big.tau / step, big.alpha};
        p.insert(it + 1, Process{big.resistance / 2, big.tau * step, big.alpha});
    }
    return p;
}

// Adds processes beyond the edges of the window, in turn, until there are
// `slots`: one the data only show the edge of. Beyond the fast edge it is
// the high-frequency intercept (a circuit without a series resistor
// carries it there); beyond the slow edge, half the resistance seen.
std::vector<Process> add_at_edges(std::vector<Process> p, std::size_t slots, const ImpedanceShape& shape, bool slow) {
    double total = 0.0;
    for (const Process& q : p) total += q.resistance;
    const double r = std::max(total, shape.modulus_typical) * 0.5;
    const double intercept = std::max(shape.r_high, 0.01 * shape.modulus_min);
    while (p.size() < slots) {
        if (slow) {
            p.push_back({r, 3.0 / shape.omega_min, default_alpha});
        } else {
            p.insert(p.begin(), Process{intercept, 0.3 / shape.omega_max, default_alpha});
        }
        slow = !slow;
    }
    return p;
}

// Fills the largest gaps in ln tau (between the window's edges and the
// processes) with small processes until there are `slots`: a process too
// small for the DRT to single out.
std::vector<Process> fill_gaps(std::vector<Process> p, std::size_t slots, const ImpedanceShape& shape) {
    double total = 0.0;
    for (const Process& q : p) total += q.resistance;
    const double r = 0.05 * std::max(total, 0.1 * shape.modulus_typical);
    while (p.size() < slots) {
        std::vector<double> edges{std::log(0.3 / shape.omega_max)};
        for (const Process& q : p) edges.push_back(std::log(q.tau));
        edges.push_back(std::log(3.0 / shape.omega_min));
        std::size_t at = 0;
        for (std::size_t k = 1; k + 1 < edges.size(); ++k) {
            if (edges[k + 1] - edges[k] > edges[at + 1] - edges[at]) at = k;
        }
        const double tau = std::exp(0.5 * (edges[at] + edges[at + 1]));
        p.insert(p.begin() + static_cast<std::ptrdiff_t>(at), Process{r, tau, default_alpha});
    }
    return p;
}

std::vector<Process> spread(std::size_t slots, const ImpedanceShape& shape) {
    const double total = std::max(shape.r_low - shape.r_high, 0.1 * shape.modulus_typical);
    std::vector<Process> p;
    const double lo = std::log(1.0 / shape.omega_max), hi = std::log(1.0 / shape.omega_min);
    for (std::size_t k = 0; k < slots; ++k) {
        const double at = lo + (hi - lo) * (static_cast<double>(k) + 0.5) / static_cast<double>(slots);
        p.push_back({total / static_cast<double>(slots), std::exp(at), default_alpha});
    }
    return p;
}

}  // namespace

std::vector<std::vector<Process>> process_variants(const std::vector<Process>& found,
                                                   const std::vector<Process>& minor, std::size_t slots,
                                                   const ImpedanceShape& shape) {
    std::vector<std::vector<Process>> out;
    if (slots == 0) return {{}};
    if (found.empty()) {
        out.push_back(spread(slots, shape));
    } else if (found.size() >= slots) {
        if (found.size() == slots) {
            out.push_back(found);
            if (slots > 1) out.push_back(merge_closest(split_largest(found, slots + 1), slots));
        } else {
            out.push_back(merge_closest(found, slots));
            out.push_back(largest(found, slots));
        }
        // The high-frequency intercept as a process of its own, for a circuit
        // whose fastest slot lies beyond the window (no series resistor).
        if (slots > 1) out.push_back(add_at_edges(merge_closest(found, slots - 1), slots, shape, false));
    } else {
        out.push_back(split_largest(found, slots));
        out.push_back(add_at_edges(found, slots, shape, true));
        out.push_back(add_at_edges(found, slots, shape, false));
        out.push_back(fill_gaps(found, slots, shape));
        if (!minor.empty()) {
            // The DRT's smaller maxima, the largest of them first.
            std::vector<Process> all = found;
            all.insert(all.end(), minor.begin(), minor.end());
            std::sort(all.begin(), all.end(), [](const Process& a, const Process& b) { return a.tau < b.tau; });
            out.push_back(all.size() >= slots ? largest(all, slots) : fill_gaps(all, slots, shape));
        }
    }
    // The slots may differ (an R-C pair, a Gerischer, an R-CPE pair) and need
    // not be written in order of time constant: every order of the processes
    // when there are few slots, the reverse order otherwise.
    const std::size_t forward = out.size();
    for (std::size_t k = 0; k < forward && slots > 1; ++k) {
        if (slots > max_permuted_slots) {
            out.emplace_back(out[k].rbegin(), out[k].rend());
            continue;
        }
        std::vector<std::size_t> order(slots);
        for (std::size_t i = 0; i < slots; ++i) order[i] = i;
        while (std::next_permutation(order.begin(), order.end())) {
            std::vector<Process> permuted(slots);
            for (std::size_t i = 0; i < slots; ++i) permuted[i] = out[k][order[i]];
            out.push_back(std::move(permuted));
        }
    }
    return out;
}

}  // namespace kelvara::start
