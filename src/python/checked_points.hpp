// A spectrum read and checked once, held for the calls that follow: select
// checks its spectrum where it comes in and hands the checked points to the
// noise estimate and to every stage of candidate fits, which read them
// without looking at the points again.
#pragma once

#include <Python.h>

#include "circuit/measured_points.hpp"

namespace kelvara::py {

// The checked spectrum `object` holds, or nullptr when it is not one.
const MeasuredSpectrum* checked_spectrum(PyObject* object);

bool ready_checked_spectrum_type();

// _checked(frequencies, impedances=None)
extern PyMethodDef checked_spectrum_functions[];

}  // namespace kelvara::py
