#include "python/spectrum_input.hpp"

#include "circuit/quoted.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace kelvara::py {

std::string describe(const ColumnNames& names) { return quoted(names.display) + " or " + quoted(names.snake_case); }

ColumnStatus read_column(PyObject* frame, const ColumnNames& names, std::vector<double>& out) {
    const char* found_name = names.display;
    Ref column(PyObject_GetItem(frame, Ref(to_str(names.display)).get()));
    if (!column) {
        PyErr_Clear();
        found_name = names.snake_case;
        column = Ref(PyObject_GetItem(frame, Ref(to_str(names.snake_case)).get()));
        if (!column) {
            PyErr_Clear();
            return ColumnStatus::absent;
        }
    }
    if (!to_double_vector(column.get(), out)) {
        PyErr_Clear();
        raise(PyExc_ValueError, "column " + quoted(found_name) + " is not numeric");
        return ColumnStatus::error;
    }
    return ColumnStatus::found;
}

}  // namespace kelvara::py
