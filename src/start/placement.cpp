#include "start/placement.hpp"

#include <algorithm>
#include <cmath>

#include "elements/element_impedance.hpp"

namespace kelvara::start {
namespace {

// An element the data do not show is given this share of |Z| (at the edge
// of the window where it would show first), so that it starts negligible but
// not frozen.
constexpr double negligible_share = 1e-3;
constexpr double default_alpha = 0.9;

Role role(Kind kind) { return kind_info(kind).role; }

// Only a capacitive path (no DC conduction, no resistance).
bool capacitive_kind(Kind kind) { return role(kind) == Role::capacitor; }

// Leaves with a DC resistance and a time constant of their own.
bool process_kind(Kind kind) { return role(kind) == Role::process; }

// Leaves that rise without bound towards DC: the low-frequency tail.
bool tail_kind(Kind kind) { return role(kind) == Role::capacitor || role(kind) == Role::tail; }

bool capacitive_branch(const SeriesList& branch) {
    if (branch.empty()) return false;
    for (const Node& node : branch) {
        const Leaf* leaf = std::get_if<Leaf>(&node.value);
        if (leaf == nullptr || !capacitive_kind(leaf->element.kind)) return false;
    }
    return true;
}

bool process_group(const ParallelGroup& group) {
    bool capacitive = false, other = false;
    for (const SeriesList& branch : group.branches) (capacitive_branch(branch) ? capacitive : other) = true;
    return capacitive && other;
}

bool process_node(const Node& node) {
    if (const Leaf* leaf = std::get_if<Leaf>(&node.value)) return process_kind(leaf->element.kind);
    return process_group(std::get<ParallelGroup>(node.value));
}

std::size_t count_slots(const SeriesList& series) {
    std::size_t count = 0;
    for (const Node& node : series) {
        if (process_node(node)) ++count;
        if (const ParallelGroup* group = std::get_if<ParallelGroup>(&node.value)) {
            for (const SeriesList& branch : group->branches) count += count_slots(branch);
        }
    }
    return count;
}

// Appends the parameter range of every slot in `series`, which starts at
// parameter `first`, in process_slots order; returns the index after it.
std::size_t collect_ranges(const SeriesList& series, std::size_t first, std::vector<ParamRange>& out) {
    std::size_t at = first;
    for (const Node& node : series) {
        const std::size_t begin = at;
        std::size_t slot = 0;
        if (process_node(node)) {
            slot = out.size();
            out.push_back({begin, begin});
        }
        if (const Leaf* leaf = std::get_if<Leaf>(&node.value)) {
            at += leaf->element.param_count();
        } else {
            for (const SeriesList& branch : std::get<ParallelGroup>(node.value).branches) {
                at = collect_ranges(branch, at, out);
            }
        }
        if (process_node(node)) out[slot].end = at;
    }
    return at;
}

void collect_slots(const SeriesList& series, std::vector<SeriesList>& out) {
    for (const Node& node : series) {
        if (process_node(node)) out.push_back(SeriesList{node});
        if (const ParallelGroup* group = std::get_if<ParallelGroup>(&node.value)) {
            for (const SeriesList& branch : group->branches) collect_slots(branch, out);
        }
    }
}

std::size_t count_kind(const SeriesList& series, Kind kind) {
    return static_cast<std::size_t>(std::count_if(series.begin(), series.end(), [&](const Node& node) {
        const Leaf* leaf = std::get_if<Leaf>(&node.value);
        return leaf != nullptr && leaf->element.kind == kind;
    }));
}

// -Im Z of one element at angular frequency w.
double reactance(Kind kind, const double* p, double omega) {
    return -element_impedance(kind, p, omega_terms(omega)).im;
}

class Placer {
public:
    Placer(const ImpedanceShape& shape, const Backdrop& backdrop, const std::vector<Process>& processes)
        : shape_(shape), backdrop_(backdrop), processes_(processes) {}

    void series(SeriesList& list, const Process* owner) {
        const std::size_t resistors = std::max<std::size_t>(count_kind(list, Kind::R), 1);
        for (Node& node : list) {
            if (Leaf* leaf = std::get_if<Leaf>(&node.value)) {
                if (process_kind(leaf->element.kind)) {
                    process_leaf(leaf->element, next_process());
                } else {
                    plain_leaf(leaf->element, owner, resistors);
                }
                continue;
            }
            ParallelGroup& group = std::get<ParallelGroup>(node.value);
            if (process_group(group)) {
                const Process process = next_process();
                process_branches(group, process);
            } else {
                // Branches in parallel that are all resistive or all capacitive:
                // each carries the whole share times the branch count.
                for (SeriesList& branch : group.branches) series(branch, owner);
                scale_parallel(group);
            }
        }
    }

private:
    Process next_process() {
        if (next_ < processes_.size()) return processes_[next_++];
        // More slots than processes: a small one at the slow edge.
        return {negligible_share * shape_.modulus_typical, 1.0 / shape_.omega_min, default_alpha};
    }

    void process_branches(ParallelGroup& group, const Process& process) {
        std::size_t capacitive = 0;
        for (const SeriesList& branch : group.branches) capacitive += capacitive_branch(branch) ? 1 : 0;
        for (SeriesList& branch : group.branches) {
            if (!capacitive_branch(branch)) {
                series(branch, &process);
                continue;
            }
            // Capacitances of parallel branches add; of elements in series, their inverses.
            const double share = static_cast<double>(branch.size()) / static_cast<double>(capacitive);
            for (Node& node : branch) capacitor(std::get<Leaf>(node.value).element, process, share);
        }
    }

    void capacitor(Element& e, const Process& process, double share) {
        const double r = std::max(process.resistance, 1e-300);
        if (e.kind == Kind::C) {
            e.params[0] = share * process.tau / r;
        } else {
            const double alpha = std::clamp(process.alpha, 0.5, 1.0);
            e.params[0] = share * std::pow(process.tau, alpha) / r;
            e.params[1] = alpha;
        }
    }

    void process_leaf(Element& e, const Process& p) {
        switch (e.kind) {
            case Kind::Gs: e.params = {p.resistance * std::tanh(1.0), p.tau, 1.0}; break;
            case Kind::Ws: e.params = {p.resistance, 2.5 * p.tau}; break;
            // coth(1) a + csch(1) b is the DC resistance with k_tau = 1.
            case Kind::T: e.params = {0.7 * p.resistance, 0.1 * p.resistance, 1.0, p.tau}; break;
            default: process_by_quantity(e, p);
        }
    }

    // The process's resistance, time constant and (into the first exponent)
    // dispersion; other parameters keep their values.
    static void process_by_quantity(Element& e, const Process& p) {
        const KindInfo& info = kind_info(e.kind);
        const std::size_t exponent = exponent_index(e.kind);
        for (std::size_t i = 0; i < info.param_count; ++i) {
            switch (info.quantities[i]) {
                case Quantity::resistance: e.params[i] = p.resistance; break;
                case Quantity::time: e.params[i] = p.tau; break;
                case Quantity::exponent:
                    if (i == exponent) e.params[i] = std::clamp(p.alpha, 0.3, 1.0);
                    break;
                default: break;
            }
        }
    }

    // Elements outside the time-constant slots: series resistance and
    // inductance, the tail, and resistors inside a process's branches.
    void plain_leaf(Element& e, const Process* owner, std::size_t resistors) {
        const double typical = shape_.modulus_typical;
        switch (e.kind) {
            case Kind::R: {
                const double total = owner ? owner->resistance : series_resistance();
                e.params[0] = total / static_cast<double>(resistors);
                break;
            }
            case Kind::L: e.params[0] = inductance(); break;
            case Kind::La: {
                const double alpha = 0.95;
                const double target = inductance() * shape_.omega_max;
                e.params = {std::pow(target, 1.0 / alpha) / shape_.omega_max, alpha};
                break;
            }
            default:
                if (tail_kind(e.kind)) {
                    tail(e, owner);
                } else {
                    e.params[0] = typical;
                }
        }
    }

    double series_resistance() {
        if (series_taken_) return negligible_share * shape_.modulus_min;
        series_taken_ = true;
        return std::max(backdrop_.series_resistance, negligible_share * shape_.modulus_min);
    }

    double inductance() const {
        if (backdrop_.inductance > 0.0) return backdrop_.inductance;
        return negligible_share * shape_.modulus_min / shape_.omega_max;
    }

    // A tail element: shaped by the low-frequency slope, scaled so that its
    // reactance at the lowest frequency is what the data show there (the
    // first tail element takes it; later ones start negligible).
    void tail(Element& e, const Process* owner) {
        const double w = shape_.omega_min;
        const bool shows = shape_.open_tail && !tail_taken_;
        const double slope = std::clamp(shape_.low_slope, 0.4, 1.0);
        switch (e.kind) {
            case Kind::C: e.params[0] = 1.0; break;
            case Kind::Cpe: e.params = {1.0, shows ? slope : default_alpha}; break;
            case Kind::W: e.params[0] = 1.0; break;
            case Kind::Wo: e.params = {1.0, (slope < 0.75 ? 10.0 : 1.0) / w}; break;
            case Kind::Tlmq: e.params = {owner ? owner->resistance : shape_.modulus_typical, 1.0, shows ? slope : default_alpha}; break;
            default: break;
        }
        const double target = shows ? shape_.low_reactance : negligible_share * shape_.modulus_max;
        if (shows) tail_taken_ = true;
        // The scale parameter and how the reactance depends on it.
        const double unit = reactance(e.kind, e.params.data(), w);
        if (!(unit > 0.0) || !std::isfinite(unit)) return;
        const double ratio = target / unit;
        switch (e.kind) {
            case Kind::C: case Kind::Cpe: e.params[0] /= ratio; break;  // reactance ~ 1/q
            case Kind::W: case Kind::Wo: e.params[0] *= ratio; break;   // reactance ~ aw, z0
            case Kind::Tlmq: e.params[1] /= ratio; break;               // at low frequency ~ 1/qs
            default: break;
        }
    }

    // Parallel branches of the same kind share a value: resistors and
    // inductors in parallel each take the branch count times it,
    // capacitors its share.
    void scale_parallel(ParallelGroup& group) {
        const double k = static_cast<double>(group.branches.size());
        for (SeriesList& branch : group.branches) {
            for (Node& node : branch) {
                Leaf* leaf = std::get_if<Leaf>(&node.value);
                if (leaf == nullptr) continue;
                Element& e = leaf->element;
                if (e.kind == Kind::R || e.kind == Kind::L) e.params[0] *= k;
                if (role(e.kind) == Role::capacitor) e.params[0] /= k;
            }
        }
    }

    const ImpedanceShape& shape_;
    const Backdrop& backdrop_;
    const std::vector<Process>& processes_;
    std::size_t next_ = 0;
    bool series_taken_ = false;
    bool tail_taken_ = false;
};

}  // namespace

std::size_t process_slots(const SeriesList& circuit) { return count_slots(circuit); }

std::vector<ParamRange> slot_ranges(const SeriesList& circuit) {
    std::vector<ParamRange> out;
    collect_ranges(circuit, 0, out);
    return out;
}

std::vector<SeriesList> slot_circuits(const SeriesList& circuit) {
    std::vector<SeriesList> out;
    collect_slots(circuit, out);
    return out;
}

SeriesList place(const SeriesList& circuit, const ImpedanceShape& shape, const Backdrop& backdrop,
                 const std::vector<Process>& processes) {
    SeriesList tree = circuit;
    Placer(shape, backdrop, processes).series(tree, nullptr);
    return tree;
}

}  // namespace kelvara::start
