// The series as the Levenberg-Marquardt solver sees it. Its unknowns are the
// search coordinates of the shared parameters; its residuals at a point are
// every spectrum's weighted residuals, stacked, at the end of a fit of that
// spectrum's own parameters with the shared ones held there (each started
// from where it ended at the last accepted point). So the spectra never meet
// in one large linear system: a step costs one small fit per spectrum. The
// Jacobian is each spectrum's shared columns with their components along its
// own columns removed, what is left of a step once the own parameters have
// followed it (Gauss-Newton variable projection, in Kaufman's form).
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "fit/fit_problem.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/minpack/minpack.hpp"
#include "fit/objective.hpp"

namespace kelvara {

// One spectrum of the series.
struct JointMember {
    std::unique_ptr<FitProblem> full;  // its own and the shared parameters free
    std::unique_ptr<FitProblem> own;   // the shared ones held as well; null when nothing else is free
};

class JointProblem final : public minpack::LeastSquaresProblem {
public:
    // `shared`: parameter indices; `starts`: every parameter's physical
    // values per spectrum; `x0`: the shared parameters' search coordinates.
    JointProblem(std::vector<JointMember>& members, std::vector<std::size_t> shared,
                 std::vector<std::vector<double>> starts, std::span<const double> x0, EvaluationCounter& counter);

    std::size_t param_count() const override { return x_.size(); }
    std::size_t residual_count() const override { return residual_count_; }
    void set_x(std::span<const double> x) override { std::copy(x.begin(), x.end(), x_.begin()); }
    std::span<const double> x() const override { return x_; }
    void residuals(std::span<double> out) override;
    void jacobian(std::span<double> out) override;

    // Every parameter's physical value, spectrum by spectrum, at x.
    const std::vector<std::vector<double>>& params();
    // A fit of some spectrum's own parameters was interrupted.
    bool interrupted() const { return interrupted_.load(); }
    // Clamps the parameters that left their bounds (own ones of any spectrum,
    // shared ones) onto them and holds them there from now on, as the single
    // fits do. False when none had.
    bool hold_out_of_bounds();

private:
    struct Point {
        std::vector<double> x;
        std::vector<std::vector<double>> params;
        std::vector<double> residuals;
        bool valid = false;
        bool at(std::span<const double> x_now) const {
            return valid && std::equal(x.begin(), x.end(), x_now.begin(), x_now.end());
        }
    };
    // Every spectrum's own fit at x, started from the accepted point.
    const Point& evaluated();
    void fit_own(std::size_t i);
    void reduced_columns(std::size_t i, std::span<double> out);

    std::vector<JointMember>& members_;
    std::vector<std::size_t> shared_;        // parameter indices
    std::vector<std::size_t> shared_free_;   // their positions among the free parameters
    std::vector<std::size_t> own_free_;      // the other free parameters' positions
    std::vector<std::size_t> offsets_;       // first residual of each spectrum
    std::size_t residual_count_ = 0;
    EvaluationCounter& counter_;
    LmSettings own_settings_;
    std::vector<double> x_;
    Point accepted_, trial_;
    std::vector<std::vector<bool>> held_own_;  // per spectrum, in the own fit's free order
    std::vector<bool> held_shared_;
    std::atomic<bool> interrupted_{false};
    // Scratch space, one set per spectrum, allocated once.
    std::vector<ResidualWorkspace> residual_workspaces_;
    std::vector<JacobianWorkspace> jacobian_workspaces_;
    std::vector<std::vector<double>> jacobians_, bases_;
};

}  // namespace kelvara
