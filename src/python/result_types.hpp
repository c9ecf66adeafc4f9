#pragma once
// Python classes Results, Convergence and FinalResults: read-only views of core records.
// Each object owns its record and is bound to the thread that created it.

#include <Python.h>

#include "core/operations/final_results_record.hpp"
#include "core/optimisers/results.hpp"

namespace velmar::py {

// The type objects, created on first use and kept for the life of the process.
PyObject* results_type();

// Move a record into a new Python object of its class.
PyObject* wrap(Results&& record);
PyObject* wrap(Convergence&& record);
PyObject* wrap(FinalResults&& record);

}  // namespace velmar::py
