#include "core/operations/cost_coverage.hpp"

#include <string>

#include "core/cost_utils.hpp"

namespace velmar {

namespace {

std::optional<double> price_plan(const View2& usage, const View2& prices, const ViewN& levels, PlanFigure figure) {
    const std::size_t T = usage.rows;
    const std::size_t n = usage.cols;
    const WorkspaceLoan loan = call_workspace();
    CostWorkspace& remaining = *loan;
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
        // A plan tiled over the periods is read as its one row; any other is copied into
        // columns once rather than staged block by block.
        const View2 folded = with_repeated_rows_folded(levels.as_2d());
        if (folded.row_stride == 0) return figure(usage, prices, folded, remaining);
        const ColumnMatrix own_levels(folded);
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
