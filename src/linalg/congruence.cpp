#include "linalg/congruence.hpp"

namespace kelvara::linalg {

std::vector<double> congruence(const std::vector<double>& t, const std::vector<double>& m, std::size_t n) {
    std::vector<double> tm(n * n, 0.0), out(n * n, 0.0);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t k = 0; k < n; ++k) {
            if (t[a * n + k] == 0.0) continue;
            for (std::size_t b = 0; b < n; ++b) tm[a * n + b] += t[a * n + k] * m[k * n + b];
        }
    }
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b < n; ++b) {
            double sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) sum += tm[a * n + k] * t[b * n + k];
            out[a * n + b] = sum;
        }
    }
    return out;
}

}  // namespace kelvara::linalg
