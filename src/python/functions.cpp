#include "python/functions.hpp"

#include "core/operations/cost_coverage.hpp"
#include "core/operations/general_optimisation.hpp"
#include "core/operations/generate_cost_and_coverage.hpp"
#include "core/operations/optimise_predictions.hpp"
#include "core/operations/portfolio_figures.hpp"
#include "core/operations/simple_optimisation.hpp"
#include "python/arrays.hpp"
#include "python/calling_frame.hpp"
#include "python/result_types.hpp"

namespace velmar::py {

namespace {

using K = ArgKind;

constexpr Param plan_params[] = {{"usage", K::array2}, {"prices", K::array2}, {"levels", K::array_any}};

template <const Signature& Sig, PyObject* (*Body)(const Arguments&)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_with_frame(Sig, args, nargsf, kwnames, Body);
}

constexpr Signature cost_sig{"cost", plan_params, 3};
PyObject* cost_body(const Arguments& a) {
    return to_python(cost_operation(a.get<View2>(0), a.get<View2>(1), a.get<ViewN>(2)));
}

constexpr Signature coverage_sig{"coverage", plan_params, 3};
PyObject* coverage_body(const Arguments& a) {
    return to_python(coverage_operation(a.get<View2>(0), a.get<View2>(1), a.get<ViewN>(2)));
}

using Names = std::vector<std::string_view>;

constexpr Param simple_params[] = {{"usage", K::array2},        {"prices", K::array2},
                                   {"period", K::text},         {"horizon", K::text},
                                   {"convergence_details", K::flag}, {"step", K::real},
                                   {"starting_point", K::array1_or_none}};
constexpr Signature simple_sig{"simple_optimisation", simple_params, 4};
PyObject* simple_body(const Arguments& a) {
    return wrap(simple_optimisation(a.get<View2>(0), a.get<View2>(1), a.get<std::string_view>(2),
                                    a.get<std::string_view>(3), a.get<std::optional<bool>>(4),
                                    a.get<std::optional<double>>(5), a.get<std::optional<View1>>(6)));
}

constexpr Param predictions_params[] = {{"predictions", K::array3},       {"prices", K::array2},
                                        {"current_sp_commitments", K::array2}, {"pricing_models", K::text_list},
                                        {"period", K::text},              {"n_starts", K::count},
                                        {"convergence_details", K::flag}};
constexpr Signature predictions_sig{"optimise_predictions", predictions_params, 6};
PyObject* predictions_body(const Arguments& a) {
    return wrap(optimise_predictions(a.get<View3>(0), a.get<View2>(1), a.get<View2>(2), a.get<Names>(3),
                                     a.get<std::string_view>(4), a.get<std::uint64_t>(5),
                                     a.get<std::optional<bool>>(6)));
}

constexpr Param general_params[] = {{"usage", K::array2},          {"prices", K::array2},
                                    {"current_sp_commitments", K::array2}, {"pricing_models", K::text_list},
                                    {"period", K::text},           {"n_starts", K::count},
                                    {"optimiser", K::text},        {"convergence_details", K::flag},
                                    {"step_size", K::real}};
constexpr Signature general_sig{"general_optimisation", general_params, 7};
PyObject* general_body(const Arguments& a) {
    return wrap(general_optimisation(a.get<View2>(0), a.get<View2>(1), a.get<View2>(2), a.get<Names>(3),
                                     a.get<std::string_view>(4), a.get<std::uint64_t>(5),
                                     a.get<std::string_view>(6), a.get<std::optional<bool>>(7),
                                     a.get<std::optional<double>>(8)));
}

constexpr Param sampling_params[] = {{"usage", K::array2},    {"prices", K::array2}, {"n_sample", K::count},
                                     {"n_threads", K::count}, {"period", K::text}};
constexpr Signature sampling_sig{"generate_cost_and_coverage", sampling_params, 5};
PyObject* sampling_body(const Arguments& a) {
    const Matrix m = generate_cost_and_coverage(a.get<View2>(0), a.get<View2>(1), a.get<std::uint64_t>(2),
                                                a.get<std::uint64_t>(3), a.get<std::string_view>(4));
    return new_float_matrix(m.rows(), m.cols(), m.data());
}

constexpr Param figure_params[] = {{"usage", K::array2},         {"prices", K::array2},
                                   {"levels", K::array2},        {"pricing_models", K::text_list},
                                   {"period", K::text},          {"cost_or_coverage", K::text}};
constexpr Signature figure_sig{"final_cost_coverage_underutilization", figure_params, 6};
PyObject* figure_body(const Arguments& a) {
    return PyFloat_FromDouble(py_cost_final(a.get<View2>(0), a.get<View2>(1), a.get<View2>(2),
                                            a.get<std::vector<std::string_view>>(3), a.get<std::string_view>(4),
                                            a.get<std::string_view>(5)));
}

template <const Signature& Sig, PyObject* (*Body)(const Arguments&)>
constexpr PyMethodDef method(const char* doc) {
    return {Sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Sig, Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// The stored docstring is the text signature and its separator only, so Python derives
// __text_signature__ from it and reports __doc__ as None.
PyMethodDef functions[] = {
    method<simple_sig, simple_body>(
        "simple_optimisation(usage, prices, period, horizon, convergence_details=None, step=None, "
        "starting_point=None)\n--\n\n"),
    method<predictions_sig, predictions_body>(
        "optimise_predictions(predictions, prices, current_sp_commitments, pricing_models, period, n_starts, "
        "convergence_details=None)\n--\n\n"),
    method<cost_sig, cost_body>("cost(usage, prices, levels)\n--\n\n"),
    method<coverage_sig, coverage_body>("coverage(usage, prices, levels)\n--\n\n"),
    method<general_sig, general_body>(
        "general_optimisation(usage, prices, current_sp_commitments, pricing_models, period, n_starts, optimiser, "
        "convergence_details=None, step_size=None)\n--\n\n"),
    method<figure_sig, figure_body>(
        "final_cost_coverage_underutilization(usage, prices, levels, pricing_models, period, cost_or_coverage)"
        "\n--\n\n"),
    method<sampling_sig, sampling_body>("generate_cost_and_coverage(usage, prices, n_sample, n_threads, period)\n--\n\n"),
};

}  // namespace

std::span<PyMethodDef> module_functions() { return functions; }

}  // namespace velmar::py
