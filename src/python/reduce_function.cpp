// _reduced_circuit(): the circuit with the element of one parameter taken
// to a limit (circuit/reduce.hpp), keeping every other value; selection
// fits it in place of a candidate whose fit ran that element off.
#include "python/objects.hpp"

#include <string>

#include "circuit/layout.hpp"
#include "circuit/parser.hpp"
#include "circuit/reduce.hpp"
#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace kelvara::py {
namespace {

PyObject* reduced_circuit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"circuit", "name", "limit"};
    PyObject* bound[3];
    if (!bind_arguments({"_reduced_circuit", names, 3}, args, nargs, kwnames, bound)) return nullptr;
    if (!is_circuit(bound[0])) return raise(PyExc_TypeError, "_reduced_circuit() takes a Circuit");
    std::string name, limit_text;
    if (!to_utf8(bound[1], name) || !to_utf8(bound[2], limit_text)) return nullptr;
    Limit limit = Limit::short_circuit;
    if (limit_text == "open") {
        limit = Limit::open_circuit;
    } else if (limit_text != "short" && limit_text != "ideal") {
        return raise(PyExc_ValueError, "limit must be \"short\", \"open\" or \"ideal\"");
    }
    const CircuitData& data = circuit_data(bound[0]);
    const std::vector<std::string> all = param_names(data.tree);
    std::size_t param = 0, leaf = 0;
    bool found = false;
    for (const LeafRef& ref : collect_leaves(data.tree)) {
        const std::size_t count = ref.element.param_count();
        for (std::size_t k = 0; k < count; ++k, ++param) found = found || all[param] == name;
        if (found) break;
        ++leaf;
    }
    if (!found) return raise(PyExc_ValueError, "no parameter " + name);
    auto smaller = limit_text == "ideal" ? idealised(data.tree, leaf) : reduced(data.tree, leaf, limit);
    if (!smaller) Py_RETURN_NONE;
    return make_circuit(std::move(*smaller), data.explicit_values);
}

}  // namespace

PyMethodDef reduce_functions[] = {
    {"_reduced_circuit", guarded_method<reduced_circuit>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
