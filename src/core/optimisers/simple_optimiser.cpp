#include "core/optimisers/simple_optimiser.hpp"

#include <string>

#include "core/cost_utils.hpp"
#include "core/optimisers/ordering.hpp"
#include "core/runtime/interrupt.hpp"

namespace velmar {

namespace {

constexpr const char* absent_history =
    "You haven't correctly initialized this Convergence object. Use Convergence::new() instead";

// Cost change of each single move x + steps[i] e_i, written into `variation`. `trial` is
// a copy of x on entry and on return: one entry is bumped at a time and restored.
void move_variations(SimpleProblem& problem, std::span<const double> x, std::span<const double> steps, double current,
                     std::span<double> trial, std::span<double> variation) {
    probe_coordinates(
        x, trial, [&](std::size_t i) { return steps[i]; },
        [&](std::span<const double> v) { return problem.plan_cost(v) - current; }, variation);
}

void require_plan_sizes(const SimpleProblem& problem, std::span<const double> steps, std::span<const double> start) {
    require_size("steps", steps.size(), problem.level_count());
    require_size("start", start.size(), problem.level_count());
}

}  // namespace

SimpleProblem::SimpleProblem(const View2& usage, const View2& prices, double hours) : prices_(prices) {
    const std::size_t n = usage.cols;
    require_price_table("prices", prices, 3, n);
    usage_ = ColumnMatrix(usage);
    level_scale_.assign(n + 1, hours);
    level_scale_[0] = 1.0;
    row_.assign(n + 1, 0.0);
    workspace_ = CostWorkspace(n, 3);
}

View2 SimpleProblem::scaled_levels(std::span<const double> v) {
    require_size("levels", v.size(), row_.size());
    for (std::size_t i = 0; i < row_.size(); ++i) row_[i] = v[i] * level_scale_[i];
    return {row_.data(), usage_.rows(), row_.size(), 0, 1};
}

double SimpleProblem::plan_cost(std::span<const double> v) {
    return cost(usage_, prices_, scaled_levels(v), workspace_);
}

double SimpleProblem::plan_coverage(std::span<const double> v) {
    return coverage(usage_, prices_, scaled_levels(v), workspace_);
}

double SimpleProblem::plan_underutilisation(std::span<const double> v) {
    return underutilisation(usage_, prices_, scaled_levels(v), workspace_);
}

Results simple_optimiser(SimpleProblem& problem, std::span<const double> steps, std::span<const double> start) {
    require_plan_sizes(problem, steps, start);
    double current = problem.plan_cost(start);
    std::vector<double> x(start.begin(), start.end());
    std::vector<double> trial = x;
    std::vector<double> variation(x.size());
    std::uint64_t it = 0;
    for (;;) {
        ++it;
        if (it % 8 == 0) poll_interrupt();
        move_variations(problem, x, steps, current, trial, variation);
        const std::size_t k = first_argmin(variation);
        if (!(variation[k] < 0.0)) break;
        x[k] = x[k] + steps[k];
        trial[k] = x[k];
        current = current + variation[k];
    }
    return finish_run(problem, x, it, Convergence::absent());
}

Results simple_optimiser_details(SimpleProblem& problem, std::span<const double> steps, std::span<const double> start) {
    require_plan_sizes(problem, steps, start);
    double current = problem.plan_cost(start);
    std::vector<double> x(start.begin(), start.end());
    std::vector<double> saved = x;
    std::vector<double> trial = x;
    std::vector<double> variation(x.size());
    std::uint64_t improving = 0;
    std::uint64_t failed = 0;
    std::uint64_t limit = 1;
    Convergence history = Convergence::new_();

    while (failed < limit) {
        if ((failed + improving) % 8 == 0) poll_interrupt();
        move_variations(problem, x, steps, current, trial, variation);
        const std::size_t k = first_argmin(variation);
        if (variation[k] < 0.0) {
            ++improving;
        } else if (failed == 0) {
            // The first failure marks the local optimum that is returned; the moves after
            // it only extend the history.
            saved = x;
            limit = improving / 2;
            failed = 1;
        } else {
            ++failed;
        }
        x[k] = x[k] + steps[k];
        trial[k] = x[k];
        current = current + variation[k];
        Convergence::push(history.costs, current, absent_history);
        Convergence::push(history.coverages, problem.plan_coverage(x), absent_history);
        Convergence::push(history.underutilisation_cost, problem.plan_underutilisation(x), absent_history);
    }
    return finish_run(problem, saved, improving, std::move(history));
}

std::vector<std::uint64_t> SimpleProblem::round_res(std::span<const double> x) {
    require_size("x", x.size(), level_count());
    const double base = plan_cost(x);
    std::vector<double> y(x.begin(), x.end());
    std::vector<double> gain(x.size());
    probe_coordinates(
        x, y, [](std::size_t) { return 1.0; }, [&](std::span<const double> v) { return plan_cost(v) - base; }, gain);
    return round_by_sensitivity(gain, y, [&](std::span<const double> v) { return plan_cost(v); });
}

double SimpleProblem::compute_min(std::span<const std::uint64_t> levels) { return plan_cost(to_floats(levels)); }

}  // namespace velmar
