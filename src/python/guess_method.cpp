// Circuit.guess(): a starting point from the network of the circuit's topology.
#include "python/objects.hpp"

#include "models/guess.hpp"
#include "python/arguments.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/measured_data.hpp"

namespace kelvara::py {

PyObject* guess_error_type(const GuessError& error) {
    return error.kind == GuessError::Kind::memory ? PyExc_MemoryError : PyExc_ValueError;
}

bool run_guess(const SeriesList& tree, const MeasuredSpectrum& spectrum,
               const std::optional<std::string>& weights_path, std::vector<double>& out) {
    std::optional<Result<std::vector<double>, GuessError>> result;
    {
        ReleasedInterpreter released;
        result.emplace(guess_params(tree, spectrum, weights_path));
    }
    if (!*result) {
        const GuessError& error = result->error();
        raise(guess_error_type(error), error.message);
        return false;
    }
    out = std::move(*result).value();
    return true;
}

bool read_weights_path(PyObject* weights, std::optional<std::string>& out) {
    if (weights == nullptr || weights == Py_None) return true;
    std::string path;
    if (!to_utf8(weights, path)) {
        prefix_argument_error("weights");
        return false;
    }
    if (path.find('\0') != std::string::npos) {  // as open() refuses it, rather than cut the path short
        raise(PyExc_ValueError, "embedded null byte");
        return false;
    }
    out = std::move(path);
    return true;
}

PyObject* circuit_guess(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"frequencies", "impedances", "weights"};
    PyObject* bound[3];
    if (!bind_arguments({"guess", names, 1}, args, nargs, kwnames, bound)) return nullptr;
    std::optional<std::string> weights_path;
    if (!read_weights_path(bound[2], weights_path)) return nullptr;
    MeasuredSpectrum spectrum;
    if (!read_measured(bound[0], bound[1], spectrum)) return nullptr;
    std::vector<double> values;
    if (!run_guess(circuit_data(self).tree, spectrum, weights_path, values)) return nullptr;
    return to_float_list(values);
}

}  // namespace kelvara::py
