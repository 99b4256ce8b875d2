// Cancelling a running call from another thread.
//
// A thread names the events that cancel its calls with _core._push_cancel(event)
// and forgets the latest with _core._pop_cancel(); another thread sets one
// (threading.Event.set). Every long call already asks, about every 50 ms,
// whether Ctrl-C was pressed; it asks here too, and ends as Ctrl-C ends it.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace kelvara::py {

// With the interpreter attached: true when one of the calling thread's events
// is set, KeyboardInterrupt("cancelled") then pending (or the exception that
// asking raised).
bool cancellation_requested();

extern PyMethodDef cancellation_functions[];

}  // namespace kelvara::py
