#pragma once
// The single-plan search: coordinate-wise greedy descent over the n + 1 levels of one
// plan (savings-plan commitment, then reserved units per kind), and its rounding to
// whole units.

#include <cstdint>
#include <span>
#include <vector>

#include "core/array.hpp"
#include "core/cost_workspace.hpp"
#include "core/optimisers/results.hpp"

namespace velmar {

// One usage history and price table, with the scratch every evaluation reuses. A level
// vector is scaled by `level_scale` (1 for the commitment, the hours per period for the
// reserved units) and priced as the same plan in every period.
class SimpleProblem {
public:
    // Copies the usage; borrows `prices` (at least 3 rows: on demand, savings-plan rate,
    // reserved price; n columns), which must outlive the problem.
    SimpleProblem(const View2& usage, const View2& prices, double hours);

    std::size_t level_count() const { return row_.size(); }
    const ColumnMatrix& usage() const { return usage_; }
    const View2& prices() const { return prices_; }
    std::span<const double> level_scale() const { return level_scale_; }

    double plan_cost(std::span<const double> v);
    double plan_coverage(std::span<const double> v);
    double plan_underutilisation(std::span<const double> v);
    // Whole units near x: coordinates with the dearest unit step are decided first.
    std::vector<std::uint64_t> round_res(std::span<const double> x);
    // Cost of whole units.
    double compute_min(std::span<const std::uint64_t> levels);

private:
    View2 scaled_levels(std::span<const double> v);

    ColumnMatrix usage_;
    View2 prices_;
    std::vector<double> level_scale_;
    std::vector<double> row_;  // v x level_scale, repeated in every period through a zero row stride
    CostWorkspace workspace_;
};

// Greedy descent from `start`, moving one entry by its step while that lowers the cost.
// n_iter = improving moves + 1; no history.
Results simple_optimiser(SimpleProblem& problem, std::span<const double> steps, std::span<const double> start);

// The same moves, but it keeps moving past the first failed one on a budget of
// floor(improving / 2) failures and records cost, coverage and under-utilisation after
// every move. Returns the point of the first failure, rounded; n_iter = improving moves.
Results simple_optimiser_details(SimpleProblem& problem, std::span<const double> steps, std::span<const double> start);

}  // namespace velmar
