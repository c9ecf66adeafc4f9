#include "core/pre_processing/cost_prediction_function.hpp"

#include <algorithm>
#include <string>

#include "core/cost_utils.hpp"
#include "core/optimisers/ordering.hpp"

namespace velmar {

CostPredictionFunction::CostPredictionFunction(std::span<const View2> samples, std::span<const PricingModel> models,
                                               bool daily, bool details)
    : samples_(samples), models_(models), daily_(daily), details_(details) {
    // Every model's price row has one entry per kind; without samples that is the only
    // place the kind count can come from.
    std::size_t n = 0;
    std::size_t T = 0;
    if (!samples.empty()) {
        T = samples.front().rows;
        n = samples.front().cols;
    } else if (!models.empty()) {
        n = models.front().prices.size;
    }
    for (std::size_t s = 0; s < samples.size(); ++s)
        require_shape("prediction sample " + std::to_string(s), samples[s], T, n);
    require_model_prices(models, n);

    double mean_od = 1000.0;
    for (const PricingModel& m : models) {
        if (m.kind == ModelKind::on_demand) {
            // One running sum through every sample.
            double spend = 0.0;
            for (const View2& sample : samples) spend = on_demand_spend(sample, m.prices, spend);
            mean_od = spend / static_cast<double>(T) / static_cast<double>(samples.size());
        } else if (m.is_new_commitment()) {
            if (m.kind == ModelKind::savings_plan) {
                scale_.push_back(1.0);
            } else {
                for (std::size_t k = 0; k < n; ++k) scale_.push_back(1.0 / m.prices[k]);
            }
        }
    }
    const double factor = mean_od / 5000.0;
    for (double& h : scale_) h *= factor;

    workspace_ = CostWorkspace(n, models.size());
    levels_.assign(scale_.size(), 0.0);
    trial_.assign(scale_.size(), 0.0);
    convergence_ = Convergence::for_details(details);
}

template <class Figure>
double CostPredictionFunction::mean_over_samples(std::span<const double> levels, Figure figure) {
    double sum = 0.0;
    for (const View2& sample : samples_) sum += figure(sample, models_, levels, daily_, workspace_);
    // No samples: 0 / 0, a NaN, by IEEE rules.
    return sum / static_cast<double>(samples_.size());
}

double CostPredictionFunction::call(std::span<const double> x) {
    require_size("x", x.size(), scale_.size());
    return mean_over_samples(x, cost_general);
}

void CostPredictionFunction::stepped_costs(std::span<const double> x, std::span<double> out) {
    require_size("x", x.size(), scale_.size());
    require_size("out", out.size(), scale_.size());
    std::copy(x.begin(), x.end(), trial_.begin());
    probe_coordinates(
        x, trial_, [&](std::size_t k) { return scale_[k]; }, [&](std::span<const double> v) { return call(v); }, out);
}

void CostPredictionFunction::gradient(std::span<const double> x, std::span<double> out) {
    const double base = call(x);
    stepped_costs(x, out);
    for (std::size_t k = 0; k < out.size(); ++k) {
        const double d = out[k] - base;
        out[k] = (x[k] < d ? x[k] : d) / scale_[k];
    }
}

void CostPredictionFunction::cost_variations(std::span<const double> x, std::span<double> out) {
    stepped_costs(x, out);
}

void CostPredictionFunction::record(std::span<const double> x, double cost, std::optional<double> speed) {
    require_size("x", x.size(), scale_.size());
    if (!details_) return;
    const double covered = mean_over_samples(x, coverage_general);
    const double idle = mean_over_samples(x, underutilization_general);
    convergence_.push_row(cost, covered, speed, idle);
}

std::vector<std::uint64_t> CostPredictionFunction::round_res(std::span<const double> x) {
    std::vector<double> stepped(scale_.size());
    stepped_costs(x, stepped);
    std::vector<double> v(x.begin(), x.end());
    return round_by_sensitivity(stepped, v, [&](std::span<const double> w) { return call(w); });
}

double CostPredictionFunction::compute_min(std::span<const std::uint64_t> levels) {
    require_size("levels", levels.size(), scale_.size());
    for (std::size_t i = 0; i < levels.size(); ++i) levels_[i] = static_cast<double>(levels[i]);
    return call(levels_);
}

}  // namespace velmar
