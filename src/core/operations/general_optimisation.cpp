#include "core/operations/general_optimisation.hpp"

#include <limits>
#include <vector>

#include "core/cost_utils.hpp"
#include "core/operations/finalise_results.hpp"
#include "core/operations/portfolio_search.hpp"
#include "core/optimisers/gradiant_descent.hpp"
#include "core/optimisers/variation_optimiser.hpp"
#include "core/pre_processing/cost_function.hpp"

namespace velmar {

namespace {

// Reservations range up to the peak usage per hour of each kind; a savings plan up to
// the peak money per hour that its rates would spend on the whole usage.
std::vector<Range> history_ranges(const ColumnMatrix& usage, const PricingModel& m, double hours) {
    const std::size_t n = usage.cols();
    constexpr double lowest = -std::numeric_limits<double>::infinity();
    std::vector<Range> out;
    if (m.kind == ModelKind::reserved) {
        for (std::size_t k = 0; k < n; ++k) {
            double peak = lowest;
            for (std::size_t t = 0; t < usage.rows(); ++t) peak = nan_skipping_max(peak, usage(t, k));
            out.push_back({0.0, peak / hours + 1e-7});
        }
    } else {
        double peak = lowest;
        for (std::size_t t = 0; t < usage.rows(); ++t) {
            double spend = 0.0;
            for (std::size_t k = 0; k < n; ++k) spend += usage(t, k) * m.prices[k];
            peak = nan_skipping_max(peak, spend);
        }
        out.push_back({0.0, peak / hours});
    }
    return out;
}

void require_non_negative_step(double step) {
    if (step < 0.0) fail("step must not be negative");
}

}  // namespace

FinalResults general_optimisation(const View2& usage, const View2& prices, const View2& current_sp_commitments,
                                  std::span<const std::string_view> pricing_models, std::string_view period,
                                  std::uint64_t n_starts, std::string_view optimiser,
                                  std::optional<bool> convergence_details, std::optional<double> step_size) {
    const Period p = parse_period(period);
    const ColumnMatrix history(usage);
    const Matrix price_rows = own_prices(prices, usage.cols);
    const SearchPortfolio portfolio =
        parse_search_portfolio(pricing_models, price_rows, current_sp_commitments, usage.rows,
                               [&](const PricingModel& m) { return history_ranges(history, m, p.hours); });
    const std::vector<PricingModel>& models = portfolio.models;
    const Matrix starts = starting_points(portfolio.ranges, n_starts);
    const bool details = convergence_details.value_or(false);

    CostFunction cf(history, models, p.daily, details, step_size);
    const std::vector<double> zero(cf.parameter_count(), 0.0);
    const bool inertial = optimiser == "inertial";
    Results run;
    if (inertial) {
        run = best_inertial_run(starts, [&] { return CostFunction(history, models, p.daily, details, 1.0); });
    } else if (optimiser == "gradient_descent" && !details) {
        run = gradiant_descent(cf, zero, cf.step());
    } else {
        // A negative step moves the variation searches without bound.
        require_non_negative_step(cf.step());
        run = details ? default_optimiser_details(cf, zero, cf.step()) : default_optimiser(cf, zero, cf.step());
    }

    const std::vector<double> levels(run.argmin.begin(), run.argmin.end());
    CostWorkspace scratch;
    const double coverage = coverage_general(history, models, levels, p.daily, scratch);
    const double under = underutilization_general(history, models, levels, p.daily, scratch);
    return finalise_results(std::move(run), models, !inertial, coverage, under, cf.step());
}

}  // namespace velmar
