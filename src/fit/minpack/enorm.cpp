// MINPACK enorm: the Euclidean norm accumulated in three sums (small,
// intermediate and large components), so that neither the squares of tiny
// components underflow nor those of huge ones overflow.
#include <cmath>

#include "fit/minpack/minpack.hpp"

namespace kelvara::minpack {

double enorm(std::span<const double> x) {
    constexpr double rdwarf = 3.834e-20;
    constexpr double rgiant = 1.304e19;
    double s1 = 0.0, s2 = 0.0, s3 = 0.0, x1max = 0.0, x3max = 0.0;
    const double agiant = rgiant / static_cast<double>(x.size() == 0 ? 1 : x.size());
    for (const double value : x) {
        const double xabs = std::fabs(value);
        if (xabs > rdwarf && xabs < agiant) {
            s2 += xabs * xabs;
        } else if (xabs <= rdwarf) {
            if (xabs > x3max) {
                s3 = 1.0 + s3 * (x3max / xabs) * (x3max / xabs);
                x3max = xabs;
            } else if (xabs != 0.0) {
                s3 += (xabs / x3max) * (xabs / x3max);
            }
        } else if (xabs > x1max) {  // large component
            s1 = 1.0 + s1 * (x1max / xabs) * (x1max / xabs);
            x1max = xabs;
        } else {
            s1 += (xabs / x1max) * (xabs / x1max);
        }
    }
    if (s1 != 0.0) return x1max * std::sqrt(s1 + (s2 / x1max) / x1max);
    if (s2 != 0.0) {
        if (s2 >= x3max) return std::sqrt(s2 * (1.0 + (x3max / s2) * (x3max * s3)));
        return std::sqrt(x3max * ((s2 / x3max) + (x3max * s3)));
    }
    return x3max * std::sqrt(s3);
}

}  // namespace kelvara::minpack
