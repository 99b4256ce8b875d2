#include "elements/element_impedance.hpp"

namespace kelvara {

OmegaTerms omega_terms(double omega) {
    // Closed forms of hypot(0, w), atan2(w, 0) and csqrt(j*w): the same
    // values without the general routines, since this runs for every
    // frequency of every call.
    const double magnitude = std::fabs(omega);
    const double half_turn = 1.5707963267948966;  // atan2(w, 0) for w != 0
    OmegaTerms w;
    w.omega = omega;
    w.sqrt_omega = std::sqrt(omega);
    w.j_omega = {0.0, omega};
    if (omega == 0.0) {
        w.sqrt_j_omega = csqrt(w.j_omega);
        w.arg_j_omega = omega;  // atan2(+-0, 0) = +-0
    } else {
        const double t = std::sqrt(magnitude / 2.0);
        w.sqrt_j_omega = {t, omega > 0.0 ? t : -t};
        w.arg_j_omega = std::isnan(omega) ? omega : (omega > 0.0 ? half_turn : -half_turn);
    }
    w.log_abs_j_omega = std::log(magnitude);
    return w;
}

}  // namespace kelvara
