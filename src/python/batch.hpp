// The batches behind fit_many, drt_many and the candidates' fits: one task
// per item on the worker pool with the interpreter released, while the
// calling thread watches for signals and reports progress.
#pragma once

#include "python/py_ref.hpp"

#include <atomic>
#include <cstddef>
#include <vector>

#include "support/function_ref.hpp"
#include "circuit/measured_points.hpp"
#include "fit/interruption.hpp"

namespace kelvara::py {

class Batch {
public:
    // `progress`: None or nullptr for none, else called as progress(done, total).
    explicit Batch(PyObject* progress = nullptr);
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // For the tasks' long computations: true once the batch is to end.
    InterruptCheck interrupt();
    bool stopped() const { return stop_.load(); }

    // Runs task(i) for every i in [0, count) on the worker pool with the
    // interpreter released (a task returns early once stopped()). Every 50 ms
    // the calling thread reattaches to run signal handlers and to report a
    // changed count of finished tasks; a raised signal or a failing callback
    // stops the batch. False with the exception set then; otherwise the
    // progress callback hears (count, count) once more.
    bool run(std::size_t count, FunctionRef<void(std::size_t)> task);

private:
    PyObject* progress_;
    std::atomic<bool> stop_{false};
};

// One item's spectrum, read as Circuit.fit reads it, or the exception that
// reading it raised.
struct BatchSpectrum {
    MeasuredSpectrum spectrum;
    Ref error;
};

// The spectra of two lists of equal length (`function` names the caller in
// the TypeError otherwise). A spectrum that cannot be read keeps its
// exception; one that is not an Exception (KeyboardInterrupt) ends the
// batch: false with it set.
bool read_batch_spectra(const char* function, PyObject* frequency_list, PyObject* impedance_list,
                        std::vector<BatchSpectrum>& out);

}  // namespace kelvara::py
