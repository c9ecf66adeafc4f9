#include "core/operations/simple_optimisation.hpp"

#include <cmath>
#include <vector>

#include "core/cost_utils.hpp"
#include "core/optimisers/simple_optimiser.hpp"
#include "core/pre_processing/search_space.hpp"
#include "core/pricing_models.hpp"

namespace velmar {

double default_step(const View2& usage, const View1& on_demand_prices) {
    const double value = on_demand_spend_by_period(usage, on_demand_prices);
    return std::sqrt(static_cast<double>(usage.cols)) * (value / static_cast<double>(usage.rows)) / 1000.0;
}

FinalResults simple_optimisation(const View2& usage, const View2& prices, std::string_view period,
                                 std::string_view horizon, std::optional<bool> convergence_details,
                                 std::optional<double> step, std::optional<View1> starting_point) {
    const Period p = parse_period(period);
    const std::size_t n = usage.cols;
    require_price_table("prices", prices, 3, n);
    // A negative move lowers the cost without bound: the search would never end.
    if (step && *step < 0.0) fail("step must not be negative");
    refuse_negative(prices.row(2), "reserved prices must not be negative");
    refuse_negative(prices.row(0), "prices must not be negative");
    refuse_negative(prices.row(1), "prices must not be negative");

    // The copy is the only large allocation: it comes before any pass over the usage, so
    // an input too large for memory fails at once. Every later pass reads the copy.
    SimpleProblem problem(usage, prices, p.hours);
    const double base_step = step ? *step : default_step(problem.usage(), prices.row(0));
    if (base_step < 0.0) fail("step must not be negative");

    const std::vector<Range> space = create_space(problem.usage(), prices, p.hours);
    const std::vector<double> steps = create_steps(prices, base_step, p.hours);
    std::vector<double> start;
    if (starting_point) {
        require_size("starting_point", starting_point->size, n + 1);
        for (std::size_t i = 0; i <= n; ++i) start.push_back((*starting_point)[i]);
    } else {
        for (const Range& r : space) start.push_back(r.low);
    }

    Results run = convergence_details.value_or(false) ? simple_optimiser_details(problem, steps, start)
                                                      : simple_optimiser(problem, steps, start);
    const Term term = parse_horizon(horizon);

    const std::vector<double> plan(run.argmin.begin(), run.argmin.end());
    FinalResults out;
    out.coverage = problem.plan_coverage(plan);
    out.underutilization_cost = problem.plan_underutilisation(plan);
    out.n_iter = run.n_iter;
    out.minimum = run.minimum;
    out.step_size = base_step;
    out.convergence = std::move(run.convergence);
    out.commitments.emplace_back(term == Term::one_year ? one_year_key : three_years_key, std::move(run.argmin));
    return out;
}

}  // namespace velmar
