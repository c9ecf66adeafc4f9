#pragma once
// CostFunction: the objective function the general search minimises over one usage history
// (pre_processing/ holds the searches' objective functions and the single-plan search
// space). A parameter is a spend per period: reserved-instance entries become units through
// 1 / their price, savings-plan entries are money already. Parameters follow the sorted
// portfolio: n per new reservation, one per new savings plan.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/array.hpp"
#include "core/cost_sweep.hpp"
#include "core/cost_workspace.hpp"
#include "core/optimisers/convergence.hpp"
#include "core/pricing_models.hpp"

namespace velmar {

class CostFunction {
public:
    // Borrows `usage` and `models` (sorted): both must outlive the cost function, and
    // several cost functions may read them at once. Without a step, the step is
    // sqrt(n) x the mean on-demand spend per period / 1000 (1000 without an on-demand model).
    CostFunction(const ColumnMatrix& usage, std::span<const PricingModel> models, bool daily, bool details,
                 std::optional<double> step);

    double step() const { return step_; }
    std::span<const double> scale() const { return scale_; }
    std::size_t parameter_count() const { return scale_.size(); }
    bool details() const { return details_; }
    const Convergence& convergence() const { return convergence_; }

    // Total cost over the history of the levels x x scale.
    double call(std::span<const double> x);
    // Entry k: the cost change of one step up along k, divided by T, capped at x_k
    // (so it never pushes a parameter below zero by more than its value).
    void gradient(std::span<const double> x, std::span<double> out);
    // Entry k: the cost after one step up along k.
    void cost_variations(std::span<const double> x, std::span<double> out);
    // One history row (cost, coverage, choice 5, discount 5, speed, under-utilisation)
    // when details were asked for.
    void record(std::span<const double> x, double cost, std::optional<double> speed);
    // Whole levels (not spend) near x.
    std::vector<std::uint64_t> round_res(std::span<const double> x);
    // Cost of whole levels, unscaled.
    double compute_min(std::span<const std::uint64_t> levels);

private:
    double price_levels(std::span<const double> levels);
    std::span<const double> scaled(std::span<const double> x);
    // Cost after one step up along each coordinate, into `out`; returns the cost at x.
    double stepped_costs(std::span<const double> x, std::span<double> out);

    const ColumnMatrix* usage_;
    std::span<const PricingModel> models_;
    bool daily_;
    bool details_;
    double step_ = 0.0;
    std::vector<double> scale_;
    CostWorkspace workspace_;
    CostSweep sweep_;             // prices the one-step moves from the point of the last sweep
    std::vector<double> levels_;  // scratch: scaled levels of the point being priced
    Convergence convergence_;
};

}  // namespace velmar
