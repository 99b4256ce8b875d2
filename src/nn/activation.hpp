// The GELU activation (tanh form, as the networks were trained with), one
// value at a time and over a whole row.
#pragma once

#include <span>

namespace kelvara {

double gelu(double u);

// gelu of every value, in place. Vectorised where the processor allows:
// tanh through a polynomial expm1, within a few units in the last place of
// the one-value version.
void gelu_in_place(std::span<double> values);

// A normalised channel: value -> (value - mean) * scale * weight + bias.
struct Affine {
    double mean = 0.0;
    double scale = 1.0;
    double weight = 1.0;
    double bias = 0.0;
};

// target[t] = gelu(a(source[t])), or with `add`, gelu(target[t] + a(source[t])):
// group norm and activation, and the residual step, in one sweep.
void affine_gelu(std::span<const double> source, std::span<double> target, const Affine& a, bool add);

}  // namespace kelvara
