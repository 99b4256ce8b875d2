#include "elements/element_impedance.hpp"

namespace kelvara {

OmegaTerms omega_terms(double omega) {
    OmegaTerms w;
    w.omega = omega;
    w.sqrt_omega = std::sqrt(omega);
    w.j_omega = {0.0, omega};
    w.sqrt_j_omega = csqrt(w.j_omega);
    w.log_abs_j_omega = std::log(std::hypot(0.0, omega));
    w.arg_j_omega = std::atan2(omega, 0.0);
    return w;
}

}  // namespace kelvara
