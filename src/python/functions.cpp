#include "python/functions.hpp"

#include "core/operations/cost_coverage.hpp"
#include "core/operations/portfolio_figures.hpp"
#include "python/calling_frame.hpp"

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
    method<cost_sig, cost_body>("cost(usage, prices, levels)\n--\n\n"),
    method<coverage_sig, coverage_body>("coverage(usage, prices, levels)\n--\n\n"),
    method<figure_sig, figure_body>(
        "final_cost_coverage_underutilization(usage, prices, levels, pricing_models, period, cost_or_coverage)"
        "\n--\n\n"),
};

}  // namespace

std::span<PyMethodDef> module_functions() { return functions; }

}  // namespace velmar::py
