// The module's Python object layouts and type objects.
#pragma once

#include "python/py_ref.hpp"

#include <optional>
#include <string>
#include <vector>

#include "circuit/compiled.hpp"
#include "circuit/layout.hpp"
#include "circuit/tree.hpp"
#include "elements/catalogue.hpp"
#include "fit/caller_control.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/fit_problem.hpp"
#include "models/guess.hpp"
#include "models/registry.hpp"
#include "start/data_start.hpp"

namespace kelvara::py {

struct CircuitData {
    SeriesList tree;
    bool explicit_values = false;  // values given by the caller rather than catalogue defaults
    CircuitControl control;
    // Derived once from the tree: every evaluation reads these.
    CompiledCircuit program{tree};
    std::vector<double> values = param_values(tree);
    // The trained topology the tree matches, looked up on the first guessed
    // fit (with the interpreter held) and kept: the search tries every
    // registry entry and would otherwise run on every fit.
    mutable std::optional<std::optional<RegistryMatch>> registry_match{};
};

struct CircuitObject {
    PyObject_HEAD
    CircuitData data;  // immutable after construction
};

struct ElementObject {
    PyObject_HEAD
    Element element;  // immutable after construction
};

extern PyTypeObject CircuitType;
extern PyTypeObject ElementType;
extern PyTypeObject FitResultType;

bool ready_circuit_type();
bool ready_element_types();  // Element and one variant per catalogue kind
bool ready_fit_result_type();

// The variant class of a kind, e.g. Element_R.
PyTypeObject* element_variant_type(Kind kind);

// A new Circuit owning `tree`; `control` empty or sized to its parameters.
PyObject* make_circuit(SeriesList tree, bool explicit_values, CircuitControl control = {});

// Circuit.with_fixed, with_free, with_bounds and the getter of fixed.
PyObject* circuit_with_fixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* circuit_with_free(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* circuit_with_bounds(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* circuit_fixed_names(PyObject* self, void*);

inline bool is_circuit(PyObject* object) { return Py_TYPE(object) == &CircuitType; }
inline bool is_element(PyObject* object) { return PyObject_TypeCheck(object, &ElementType) != 0; }
inline const CircuitData& circuit_data(PyObject* circuit) {
    return reinterpret_cast<CircuitObject*>(circuit)->data;
}

// A zeroed static type object with a valid object header.
inline PyTypeObject new_static_type() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    return type;
}

// The TypeError "No constructor defined for {name}" of classes that only the module creates.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Circuit.residuals and Circuit.jacobian (vectorcall methods).
PyObject* circuit_residuals(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* circuit_jacobian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Circuit.guess and Circuit.with_data_start.
PyObject* circuit_guess(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* circuit_with_data_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// MemoryError for memory exhausted while loading weights, ValueError otherwise.
PyObject* guess_error_type(const GuessError& error);
bool run_guess(const SeriesList& tree, const MeasuredSpectrum& spectrum,
               const std::optional<std::string>& weights_path, std::vector<double>& out);
// None, or a str path ("argument 'weights': ..." otherwise).
bool read_weights_path(PyObject* weights, std::optional<std::string>& out);

// A new FitResult owning `outcome` of a circuit with `control`, and what a FitResult holds.
PyObject* make_fit_result(FitOutcome outcome, CircuitControl control = {});
const FitOutcome& fit_outcome(PyObject* fit_result);
const CircuitControl& fit_control(PyObject* fit_result);
// The flags already worked out (borrowed), or nullptr.
PyObject* fit_result_flags(PyObject* fit_result);
// The flags of a FitResult worked out afresh: a new list of kelvara.diagnostics.Flag.
// `noise` is the spectrum's noise level; nullopt estimates it (fit_flags.cpp).
PyObject* diagnose_fit_result(PyObject* fit_result, std::optional<double> noise);
// FitResult._diagnose(noise=None) and FitResult._relative_misfit().
PyObject* fit_result_diagnose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fit_result_relative_misfit(PyObject* self, PyObject*);
// kelvara.diagnostics (a new reference), which holds the Flag class and the verdicts.
PyObject* diagnostics_module();
// kelvara._core._noise_level.
extern PyMethodDef diagnostics_functions[];
// kelvara._core._kramers_kronig (kk_function.cpp).
extern PyMethodDef kramers_kronig_functions[];

// __reduce__ of Circuit, the element variants and FitResult, and the module's
// private functions that restore them (pickling.cpp).
PyObject* circuit_reduce(PyObject* self, PyObject*);
PyObject* element_reduce(PyObject* self, PyObject*);
PyObject* fit_result_reduce(PyObject* self, PyObject*);
extern PyMethodDef pickle_functions[];

// Circuit.fit; _fit_methods, the methods' names (fit_method.cpp).
extern PyMethodDef fit_functions[];
PyObject* circuit_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Circuit._fit_many, the batch behind kelvara.fit_many.
PyObject* circuit_fit_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _fit_candidates, the parallel fits behind kelvara.compare and kelvara.select.
extern PyMethodDef candidate_functions[];
extern PyMethodDef reduce_functions[];
// kelvara._core._joint_fit (joint_fit_function.cpp).
extern PyMethodDef joint_fit_functions[];
// _elements and _param_elements, the catalogue for the Python helpers (element_facts.cpp).
extern PyMethodDef element_functions[];
// kelvara._core._drt and _drt_many (drt_function.cpp).
extern PyMethodDef drt_functions[];
// _spectrum(): the spectrum reading of Circuit.fit for kelvara's Python functions.
extern PyMethodDef spectrum_functions[];
// The battery-data-format column names by role, for kelvara._core._COLUMNS.
PyObject* column_names();

// Module-level functions Series and Parallel.
extern PyMethodDef compose_methods[];

}  // namespace kelvara::py
