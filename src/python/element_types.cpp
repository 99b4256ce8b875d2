// Element and its variant classes, one per catalogue kind (Element.R, Element.Cpe, ...).
#include "python/objects.hpp"

#include "python/barrier.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "support/number_text.hpp"
#include "python/arguments.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace kelvara::py {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    const char* name = type->tp_name;
    const char* dot = std::strrchr(name, '.');
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", dot ? dot + 1 : name);
    return nullptr;
}

namespace {

// Names, docs and property tables must outlive the static types that point at them.
struct VariantStorage {
    std::string type_name;  // "kelvara.Element_R"
    std::string doc;        // "Element_R(r)\n--\n\n"
    std::array<PyGetSetDef, max_params + 1> getset{};
    std::array<const char*, max_params> keywords{};
};

std::array<VariantStorage, kind_count> storage;
std::array<PyTypeObject, kind_count> variant_types;

Kind kind_of_type(PyTypeObject* type) {
    for (std::size_t i = 0; i < kind_count; ++i) {
        if (type == &variant_types[i]) return kind_at(i);
    }
    return Kind::R;
}

PyObject* variant_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const Kind kind = kind_of_type(type);
    const KindInfo& info = kind_info(kind);
    VariantStorage& names = storage[kind_index(kind)];
    const std::string function = "Element_" + std::string(info.canonical_code);
    const Signature signature{function.c_str(), std::span<const char* const>(names.keywords.data(), info.param_count),
                              info.param_count};
    std::array<PyObject*, max_params> bound{};
    if (!bind_arguments(signature, args, kwargs, std::span<PyObject*>(bound.data(), info.param_count))) return nullptr;
    Element element{kind, {}};
    for (std::size_t i = 0; i < info.param_count; ++i) {
        element.params[i] = PyFloat_AsDouble(bound[i]);
        if (element.params[i] == -1.0 && PyErr_Occurred()) {
            prefix_argument_error(info.param_names[i]);
            return nullptr;
        }
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<ElementObject*>(self)->element = element;
    return self;
}

PyObject* get_param(PyObject* self, void* closure) {
    const auto index = reinterpret_cast<std::uintptr_t>(closure);
    return PyFloat_FromDouble(reinterpret_cast<ElementObject*>(self)->element.params[index]);
}

PyObject* element_repr(PyObject* self) {
    const Element& element = reinterpret_cast<ElementObject*>(self)->element;
    const KindInfo& info = kind_info(element.kind);
    std::string text = "Element." + std::string(info.canonical_code) + "(";
    for (std::size_t i = 0; i < info.param_count; ++i) {
        if (i) text += ", ";
        text += std::string(info.param_names[i]) + "=" + float_number_text(element.params[i]);
    }
    return to_str(text + ")");
}

PyMethodDef variant_methods[] = {
    {"__reduce__", guarded_method<element_reduce>(), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* element_doc =
    "A single circuit element.\n"
    "\n"
    "These are Python subclasses taking its fields as arguments.\n"
    "They are combined with `Series()` and `Parallel()`.";

}  // namespace

PyTypeObject ElementType = [] {
    PyTypeObject type = new_static_type();
    type.tp_name = "kelvara.Element";
    type.tp_basicsize = sizeof(ElementObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = element_doc;
    type.tp_repr = guarded<element_repr>;
    type.tp_new = no_constructor;
    return type;
}();

PyTypeObject* element_variant_type(Kind kind) { return &variant_types[kind_index(kind)]; }

bool ready_element_types() {
    if (PyType_Ready(&ElementType) < 0) return false;
    for (std::size_t i = 0; i < kind_count; ++i) {
        const KindInfo& info = kind_info(kind_at(i));
        VariantStorage& s = storage[i];
        std::string signature = "(";
        for (std::size_t p = 0; p < info.param_count; ++p) {
            if (p) signature += ", ";
            signature += info.param_names[p];
            s.keywords[p] = info.param_names[p].data();  // catalogue names are NUL-terminated literals
            s.getset[p] = PyGetSetDef{info.param_names[p].data(), guarded<get_param>, nullptr, nullptr,
                                      reinterpret_cast<void*>(static_cast<std::uintptr_t>(p))};
        }
        signature += ")";
        s.type_name = "kelvara.Element_" + std::string(info.canonical_code);
        s.doc = "Element_" + std::string(info.canonical_code) + signature + "\n--\n\n";

        PyTypeObject& type = variant_types[i];
        type = new_static_type();
        type.tp_name = s.type_name.c_str();
        type.tp_basicsize = sizeof(ElementObject);
        type.tp_flags = Py_TPFLAGS_DEFAULT;
        type.tp_doc = s.doc.c_str();
        type.tp_base = &ElementType;
        type.tp_getset = s.getset.data();
        type.tp_new = guarded<variant_new>;
        type.tp_methods = variant_methods;
        if (PyType_Ready(&type) < 0) return false;

        Ref match_args(PyTuple_New(static_cast<Py_ssize_t>(info.param_count)));
        if (!match_args) return false;
        for (std::size_t p = 0; p < info.param_count; ++p) {
            PyObject* name = to_str(info.param_names[p]);
            if (name == nullptr) return false;
            PyTuple_SET_ITEM(match_args.get(), static_cast<Py_ssize_t>(p), name);
        }
        if (PyDict_SetItemString(type.tp_dict, "__match_args__", match_args.get()) < 0) return false;
        PyType_Modified(&type);
        if (PyDict_SetItemString(ElementType.tp_dict, std::string(info.canonical_code).c_str(),
                                 reinterpret_cast<PyObject*>(&type)) < 0) {
            return false;
        }
    }
    PyType_Modified(&ElementType);
    return true;
}

}  // namespace kelvara::py
