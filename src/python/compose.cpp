// Series() and Parallel(): circuits from element objects and other circuits.
#include "python/objects.hpp"

#include "python/barrier.hpp"

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "circuit/layout.hpp"
#include "python/arguments.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace kelvara::py {
namespace {

struct CircuitPart {
    SeriesList tree;
    bool explicit_values;
    CircuitControl control;
};
using Part = std::variant<Element, CircuitPart>;

bool read_parts(PyObject* parts, std::vector<Part>& out) {
    if (PyUnicode_Check(parts)) {
        raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
        prefix_argument_error("parts");
        return false;
    }
    if (!PySequence_Check(parts)) {
        raise_cannot_convert(parts, "Sequence");
        prefix_argument_error("parts");
        return false;
    }
    Ref items(PySequence_Fast(parts, "parts must be a sequence"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (is_element(item)) {
            out.emplace_back(reinterpret_cast<ElementObject*>(item)->element);
        } else if (is_circuit(item)) {
            const CircuitData& data = circuit_data(item);
            out.emplace_back(CircuitPart{data.tree, data.explicit_values, data.control});
        } else {
            const std::string type = type_name(item);
            raise(PyExc_TypeError, "failed to extract enum Part ('Element | Circuit')\n- variant Element (Element): "
                                   "TypeError: '" + type + "' object cannot be converted to 'Element'\n"
                                   "- variant Circuit (Circuit): TypeError: '" + type +
                                   "' object cannot be converted to 'Circuit'");
            prefix_argument_error("parts");
            return false;
        }
    }
    return true;
}

bool all_explicit(const std::vector<Part>& parts) {
    return std::all_of(parts.begin(), parts.end(), [](const Part& part) {
        const auto* circuit = std::get_if<CircuitPart>(&part);
        return circuit == nullptr || circuit->explicit_values;
    });
}

// The parts' fixed parameters and bounds, in the composed parameter order
// (parts in order, each in its own order): elements bring none.
CircuitControl joined_control(const std::vector<Part>& parts) {
    CircuitControl joined;
    bool any = false;
    for (const Part& part : parts) {
        const auto* circuit = std::get_if<CircuitPart>(&part);
        const std::size_t count = circuit ? param_count(circuit->tree) : std::get<Element>(part).param_count();
        const CircuitControl* own = circuit ? &circuit->control : nullptr;
        any = any || (own && !own->empty());
        for (std::size_t j = 0; j < count; ++j) {
            joined.bounds.push_back(own && j < own->bounds.size() ? own->bounds[j] : std::nullopt);
            joined.fixed.push_back(own && j < own->fixed.size() && own->fixed[j]);
        }
    }
    return any ? joined : CircuitControl{};
}

using Compose = SeriesList (*)(std::vector<Part>&);

SeriesList series_of(std::vector<Part>& parts) {
    SeriesList series;
    for (Part& part : parts) {
        if (auto* element = std::get_if<Element>(&part)) {
            series.push_back(Node{Leaf{*element, {}}});
        } else {
            for (Node& node : std::get<CircuitPart>(part).tree) series.push_back(std::move(node));
        }
    }
    return series;
}

SeriesList parallel_of(std::vector<Part>& parts) {
    ParallelGroup group;
    for (Part& part : parts) {
        if (auto* element = std::get_if<Element>(&part)) {
            group.branches.push_back(SeriesList{Node{Leaf{*element, {}}}});
        } else {
            group.branches.push_back(std::move(std::get<CircuitPart>(part).tree));
        }
    }
    SeriesList series;
    series.push_back(Node{std::move(group)});
    return series;
}

PyObject* compose(const char* function, Compose build, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"parts"};
    PyObject* bound[1];
    if (!bind_arguments({function, names, 1}, args, nargs, kwnames, bound)) return nullptr;
    std::vector<Part> parts;
    if (!read_parts(bound[0], parts)) return nullptr;
    const bool explicit_values = all_explicit(parts);
    CircuitControl control = joined_control(parts);
    SeriesList tree = build(parts);
    if (nesting_depth(tree) > max_nesting_depth) {
        return raise(PyExc_ValueError, "parallel groups nested more than " + std::to_string(max_nesting_depth) +
                                           " levels deep");
    }
    return make_circuit(std::move(tree), explicit_values, std::move(control));
}

PyObject* series_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return compose("Series", series_of, args, nargs, kwnames);
}

PyObject* parallel_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return compose("Parallel", parallel_of, args, nargs, kwnames);
}

}  // namespace

PyMethodDef compose_methods[] = {
    {"Series", guarded_method<series_function>(),
     METH_FASTCALL | METH_KEYWORDS, "Series(parts)\n--\n\nConnect elements and circuits end to end."},
    {"Parallel", guarded_method<parallel_function>(),
     METH_FASTCALL | METH_KEYWORDS, "Parallel(parts)\n--\n\nConnect elements and circuits as parallel branches."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
