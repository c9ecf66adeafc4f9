#include "python/functions.hpp"

#include <cstddef>
#include <optional>
#include <utility>

#include "core/operations/cost_coverage.hpp"
#include "core/operations/final_cost_coverage_underutilization.hpp"
#include "core/operations/general_optimisation.hpp"
#include "core/operations/generate_cost_and_coverage.hpp"
#include "core/operations/optimise_predictions.hpp"
#include "core/operations/simple_optimisation.hpp"
#include "python/arrays.hpp"
#include "python/calling_frame.hpp"
#include "python/result_types.hpp"

namespace velmar::py {

namespace {

using K = ArgKind;

constexpr Param plan_params[] = {{"usage", K::array2}, {"prices", K::array2}, {"levels", K::array_any}};
constexpr Signature cost_sig{"cost", plan_params, 3};
constexpr Signature coverage_sig{"coverage", plan_params, 3};

constexpr Param simple_params[] = {
    {"usage", K::array2},
    {"prices", K::array2},
    {"period", K::text},
    {"horizon", K::text},
    {"convergence_details", K::flag},
    {"step", K::real},
    {"starting_point", K::array1_or_none},
};
constexpr Signature simple_sig{"simple_optimisation", simple_params, 4};

constexpr Param predictions_params[] = {
    {"predictions", K::array3},       {"prices", K::array2}, {"current_sp_commitments", K::array2},
    {"pricing_models", K::text_list}, {"period", K::text},   {"n_starts", K::count},
    {"convergence_details", K::flag},
};
constexpr Signature predictions_sig{"optimise_predictions", predictions_params, 6};

constexpr Param general_params[] = {
    {"usage", K::array2},
    {"prices", K::array2},
    {"current_sp_commitments", K::array2},
    {"pricing_models", K::text_list},
    {"period", K::text},
    {"n_starts", K::count},
    {"optimiser", K::text},
    {"convergence_details", K::flag},
    {"step_size", K::real},
};
constexpr Signature general_sig{"general_optimisation", general_params, 7};

constexpr Param sampling_params[] = {
    {"usage", K::array2}, {"prices", K::array2}, {"n_sample", K::count}, {"n_threads", K::count}, {"period", K::text},
};
constexpr Signature sampling_sig{"generate_cost_and_coverage", sampling_params, 5};

constexpr Param figure_params[] = {
    {"usage", K::array2}, {"prices", K::array2},         {"levels", K::array2}, {"pricing_models", K::text_list},
    {"period", K::text},  {"cost_or_coverage", K::text},
};
constexpr Signature figure_sig{"final_cost_coverage_underutilization", figure_params, 6};

// An operation's result as a new Python object.
PyObject* to_object(std::optional<double> value) { return to_python(value); }
PyObject* to_object(double value) { return PyFloat_FromDouble(value); }
PyObject* to_object(FinalResults&& record) { return wrap(std::move(record)); }
PyObject* to_object(const Matrix& m) { return new_float_matrix(m.rows(), m.cols(), m.data()); }

// Argument i, converted as parameter i of the table says, becomes parameter i of the
// operation: the table alone decides which value goes where.
template <const Signature& Sig, auto Operation, std::size_t... I>
PyObject* unpack_into(const Arguments& a, std::index_sequence<I...>) {
    return to_object(Operation(a.get<Converted<Sig.params[I].kind>>(I)...));
}

template <const Signature& Sig, auto Operation>
PyObject* body(const Arguments& a) {
    return unpack_into<Sig, Operation>(a, std::make_index_sequence<Sig.params.size()>{});
}

template <const Signature& Sig, auto Operation>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_with_frame(Sig, args, nargsf, kwnames, &body<Sig, Operation>);
}

template <const Signature& Sig, auto Operation>
constexpr PyMethodDef method() {
    return {Sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Sig, Operation>)),
            METH_FASTCALL | METH_KEYWORDS, text_signature<Sig>.data()};
}

PyMethodDef functions[] = {
    method<simple_sig, &simple_optimisation>(),
    method<predictions_sig, &optimise_predictions>(),
    method<cost_sig, &cost_operation>(),
    method<coverage_sig, &coverage_operation>(),
    method<general_sig, &general_optimisation>(),
    method<figure_sig, &final_cost_coverage_underutilization>(),
    method<sampling_sig, &generate_cost_and_coverage>(),
};

}  // namespace

std::span<PyMethodDef> module_functions() { return functions; }

}  // namespace velmar::py
