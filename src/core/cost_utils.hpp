#pragma once
// The cost model's public API: what a plan or a portfolio of commitments costs over a usage
// history, what share of the usage it covers, and how much committed money buys nothing.
// The block pass that prices them is in cost_kernel.hpp.
//
// Usage is any T x n view; a column-major copy (one contiguous run of periods per kind,
// `ColumnMatrix`) is the fastest to read, which is what repeated evaluations should use.
// `remaining` is the caller's workspace (cost_workspace.hpp): it carries the uncovered
// usage of a block of periods through the models, so an evaluation allocates nothing once
// it has been used. Every concurrent caller needs its own.

#include <cstddef>
#include <span>

#include "core/array.hpp"
#include "core/cost_workspace.hpp"
#include "core/pricing_models.hpp"

namespace velmar {

// What the usage costs at `prices` (one per kind) with nothing committed, added to `spend`
// kind by kind, each kind's periods in order, in one running sum: the mean on-demand spend
// that sizes the steps of both cost functions.
double on_demand_spend(const View2& usage, const View1& prices, double spend = 0.0);
// The same sum taken period by period, each period's kinds in column order: the single-plan
// search's default step, reported as its step_size, has always been summed in this order,
// and summing it kind by kind would move that figure in its last bits.
double on_demand_spend_by_period(const View2& usage, const View1& prices);

// Single plan over a T x (n + 1) level matrix: column 0 the savings-plan commitment,
// column 1 + k the reserved units of kind k. Prices: row 0 on demand, row 1 savings-plan
// rate, row 2 reserved price (rows beyond are ignored).
double cost(const View2& usage, const View2& prices, const View2& levels, CostWorkspace& remaining);
double coverage(const View2& usage, const View2& prices, const View2& levels, CostWorkspace& remaining);
double underutilisation(const View2& usage, const View2& prices, const View2& levels, CostWorkspace& remaining);
// One of the three single-plan figures.
using PlanFigure = double (*)(const View2& usage, const View2& prices, const View2& levels, CostWorkspace& remaining);

// Any sorted portfolio: `new_levels` is consumed by the models in order (n entries per
// new reservation, one per new savings plan). Commitments expire after their term.
double cost_general(const View2& usage, std::span<const PricingModel> models, std::span<const double> new_levels,
                    bool daily, CostWorkspace& remaining);
double coverage_general(const View2& usage, std::span<const PricingModel> models, std::span<const double> new_levels,
                        bool daily, CostWorkspace& remaining);
double underutilization_general(const View2& usage, std::span<const PricingModel> models,
                                std::span<const double> new_levels, bool daily, CostWorkspace& remaining);

}  // namespace velmar
