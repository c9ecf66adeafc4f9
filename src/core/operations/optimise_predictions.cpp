#include "core/operations/optimise_predictions.hpp"

#include <limits>
#include <vector>

#include "core/cost_utils.hpp"
#include "core/operations/finalise_results.hpp"
#include "core/operations/portfolio_search.hpp"
#include "core/pre_processing/cost_prediction_function.hpp"

namespace velmar {

namespace {

// Reservations range up to the peak predicted usage per hour of each kind; a savings
// plan up to the largest money per hour that one kind's usage, summed over the
// scenarios, would cost at its rates.
std::vector<Range> prediction_ranges(std::span<const View2> samples, std::size_t periods, std::size_t n,
                                     const PricingModel& m, double hours) {
    constexpr double lowest = -std::numeric_limits<double>::infinity();
    std::vector<Range> out;
    if (m.kind == ModelKind::reserved) {
        for (std::size_t k = 0; k < n; ++k) {
            double peak = lowest;
            for (const View2& s : samples)
                for (std::size_t t = 0; t < periods; ++t) peak = nan_skipping_max(peak, s(t, k));
            out.push_back({0.0, peak / hours + 1e-7});
        }
    } else {
        double peak = lowest;
        for (std::size_t t = 0; t < periods; ++t) {
            for (std::size_t k = 0; k < n; ++k) {
                double spend = 0.0;
                for (const View2& s : samples) spend += s(t, k) * m.prices[k];
                peak = nan_skipping_max(peak, spend);
            }
        }
        out.push_back({0.0, peak / hours});
    }
    return out;
}

template <class Figure>
double mean_over(std::span<const View2> samples, Figure figure) {
    double sum = 0.0;
    for (const View2& s : samples) sum += figure(s);
    return sum / static_cast<double>(samples.size());
}

}  // namespace

FinalResults optimise_predictions(const View3& predictions, const View2& prices, const View2& current_sp_commitments,
                                  std::span<const std::string_view> pricing_models, std::string_view period,
                                  std::uint64_t n_starts, std::optional<bool> convergence_details) {
    const std::size_t T = predictions.shape[1];
    const std::size_t n = predictions.shape[2];
    const std::size_t S = predictions.shape[0];
    // Every sample's copy in one allocation, made before anything is read: an input too
    // large for memory fails at once instead of after filling the memory there is.
    ColumnMatrix stacked(T, element_count(S, n));
    std::vector<View2> samples;
    samples.reserve(S);
    for (std::size_t s = 0; s < S; ++s) {
        stacked.copy_columns(s * n, predictions.slice(s));
        samples.push_back(stacked.columns(s * n, n));
    }
    const Matrix price_rows = own_prices(prices, n);

    const Period p = parse_period(period);
    const SearchPortfolio portfolio =
        parse_search_portfolio(pricing_models, price_rows, current_sp_commitments, T,
                               [&](const PricingModel& m) { return prediction_ranges(samples, T, n, m, p.hours); });
    const std::vector<PricingModel>& models = portfolio.models;
    const Matrix starts = starting_points(portfolio.ranges, n_starts);
    const bool details = convergence_details.value_or(false);

    Results best = best_inertial_run(starts, [&] { return CostPredictionFunction(samples, models, p.daily, details); });

    const std::vector<double> levels(best.argmin.begin(), best.argmin.end());
    CostWorkspace scratch;
    const double coverage =
        mean_over(samples, [&](const View2& s) { return coverage_general(s, models, levels, p.daily, scratch); });
    const double under = mean_over(
        samples, [&](const View2& s) { return underutilization_general(s, models, levels, p.daily, scratch); });
    return finalise_results(std::move(best), models, true, coverage, under, 1.0);
}

}  // namespace velmar
