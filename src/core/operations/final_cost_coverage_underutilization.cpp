#include "core/operations/final_cost_coverage_underutilization.hpp"

#include <string>
#include <vector>

#include "core/cost_utils.hpp"
#include "core/pricing_models.hpp"

namespace velmar {

namespace {

using PortfolioFigure = double (*)(const View2&, std::span<const PricingModel>, std::span<const double>, bool,
                                   CostWorkspace&);

PortfolioFigure figure_named(std::string_view name) {
    if (name == "cost") return &cost_general;
    if (name == "coverage") return &coverage_general;
    if (name == "underutilization") return &underutilization_general;
    fail("not a valid operation");
}

}  // namespace

double final_cost_coverage_underutilization(const View2& usage, const View2& prices, const View2& levels,
                                            std::span<const std::string_view> pricing_models, std::string_view period,
                                            std::string_view cost_or_coverage) {
    const std::size_t T = usage.rows;
    const std::size_t n = usage.cols;
    const bool daily = period == "D";
    // The caller's levels are read in place: nothing here writes to them.
    require_rows("levels", levels, T);

    // Column blocks are handed out in the caller's order, before the sort.
    std::vector<PricingModel> models;
    models.reserve(pricing_models.size());
    std::size_t column = 0;
    for (std::size_t i = 0; i < pricing_models.size(); ++i) {
        PricingModel m = parse_model_name(pricing_models[i], false);
        // Repeated commitments are priced one after the other, as listed; a second
        // on-demand model would price the uncovered usage twice.
        refuse_repeat(models, m, pricing_models[i], false);
        if (prices.rows <= i || prices.cols < n)
            shape_failure("prices", shape_text({prices.rows, prices.cols}),
                          "at least " + shape_text({pricing_models.size(), n}) + " is required for " +
                              std::to_string(pricing_models.size()) + " pricing models");
        m.prices = prices.row(i);
        m.prices.size = n;
        const std::size_t width = m.kind == ModelKind::reserved ? n : m.kind == ModelKind::savings_plan ? 1 : 0;
        if (width > 0) {
            require_cols_at_least("levels", levels, column + width);
            m.levels = {levels.data + static_cast<Index>(column) * levels.col_stride, T, width, levels.row_stride,
                        levels.col_stride};
            column += width;
        }
        models.push_back(m);
    }
    const std::vector<PricingModel> sorted = permuted(models, sorted_order(models));
    const PortfolioFigure figure = figure_named(cost_or_coverage);
    const std::vector<double> new_levels(column, 0.0);
    const WorkspaceLoan remaining = call_workspace();
    return figure(usage, sorted, new_levels, daily, *remaining);
}

}  // namespace velmar
