#include "core/operations/cost_coverage.hpp"

#include <string>

#include "core/cost_utils.hpp"

namespace velmar {

namespace {

std::optional<double> price_plan(const View2& usage, const View2& prices, const ViewN& levels, PlanFigure figure) {
    const std::size_t T = usage.rows;
    const std::size_t n = usage.cols;
    CostWorkspace remaining;
    if (levels.ndim() == 1) {
        const View1 plan = levels.as_1d();
        if (plan.size != n + 1 && plan.size != 1)
            fail("levels of shape " + shape_text({plan.size}) + " cannot be spread over " + shape_text({T, n + 1}) +
                 ": incompatible shapes");
        // One plan for every period: a zero row stride repeats it, a zero column stride
        // repeats a single value over every entry.
        const View2 matrix{plan.data, T, n + 1, 0, plan.size == 1 ? 0 : plan.stride};
        return figure(usage, prices, matrix, remaining);
    }
    if (levels.ndim() == 2) {
        const ColumnMatrix own_levels(levels.as_2d());
        return figure(usage, prices, own_levels.view(), remaining);
    }
    return std::nullopt;
}

}  // namespace

std::optional<double> cost_operation(const View2& usage, const View2& prices, const ViewN& levels) {
    return price_plan(usage, prices, levels, &cost);
}

std::optional<double> coverage_operation(const View2& usage, const View2& prices, const ViewN& levels) {
    return price_plan(usage, prices, levels, &coverage);
}

}  // namespace velmar
