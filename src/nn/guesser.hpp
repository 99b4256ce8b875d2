// A trained starting-point network as loaded from an .eisnn byte string:
// magic "EISNN001", a text header, then named tensors (little-endian).
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "support/result.hpp"
#include "nn/nn_error.hpp"

namespace kelvara {

struct Tensor {
    std::vector<std::uint32_t> dims;  // outermost first
    std::vector<double> data;         // row-major
};

// How one output is scaled back to physical units:
// value = v * r_scale^r_power * omega_scale^(omega_power + alpha_omega_power * v[alpha_index]).
struct Scaling {
    double r_power = 0.0;
    double omega_power = 0.0;
    double alpha_omega_power = 0.0;
    std::int32_t alpha_index = -1;  // negative: no alpha coupling
};

struct Guesser {
    std::string circuit;
    std::vector<std::string> param_names;
    std::vector<std::size_t> dilations;
    std::vector<double> target_mean;
    std::vector<double> target_std;
    std::vector<bool> log_params;
    std::vector<Scaling> scaling;
    std::map<std::string, Tensor, std::less<>> tensors;
    std::size_t n_grid = 0;
    std::size_t channels = 0;
    std::size_t kernel = 0;
    std::size_t groups = 0;
    double alpha_min = 0.0;
    double alpha_max = 0.0;

    // Loads and checks the header; network tensors are looked up when the network runs.
    static Result<Guesser, NnError> from_bytes(std::span<const std::uint8_t> bytes);

    // The tensor of that name, or nullptr (callers report NnError::missing).
    const Tensor* tensor(std::string_view name) const;
};

// IEEE binary16 widened to double.
double half_to_double(std::uint16_t bits);

}  // namespace kelvara
