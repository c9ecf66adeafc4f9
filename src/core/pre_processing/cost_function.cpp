#include "core/pre_processing/cost_function.hpp"

#include <cmath>
#include <string>

#include "core/cost_utils.hpp"
#include "core/optimisers/ordering.hpp"

namespace velmar {

CostFunction::CostFunction(const ColumnMatrix& usage, std::span<const PricingModel> models, bool daily, bool details,
                           std::optional<double> step)
    : usage_(&usage), models_(models), daily_(daily), details_(details) {
    const std::size_t T = usage.rows();
    const std::size_t n = usage.cols();
    require_model_prices(models, n);

    double mean_od = 1000.0;
    for (const PricingModel& m : models) {
        if (m.kind == ModelKind::on_demand) {
            mean_od = on_demand_spend(usage, m.prices) / static_cast<double>(T);
        } else if (m.is_new_commitment()) {
            if (m.kind == ModelKind::savings_plan) {
                scale_.push_back(1.0);
            } else {
                for (std::size_t k = 0; k < n; ++k) scale_.push_back(1.0 / m.prices[k]);
            }
        }
    }
    step_ = step ? *step : std::sqrt(static_cast<double>(n)) * mean_od / 1000.0;

    workspace_ = CostWorkspace(n, models.size());
    levels_.assign(scale_.size(), 0.0);
    convergence_ = Convergence::for_details(details);
}

double CostFunction::price_levels(std::span<const double> levels) {
    return cost_general(*usage_, models_, levels, daily_, workspace_);
}

std::span<const double> CostFunction::scaled(std::span<const double> x) {
    require_size("x", x.size(), scale_.size());
    for (std::size_t i = 0; i < x.size(); ++i) levels_[i] = x[i] * scale_[i];
    return levels_;
}

// Recorded, so that the one-step moves from x that a search asks for next need no pass of
// their own at x.
double CostFunction::call(std::span<const double> x) { return sweep_.record(*usage_, models_, scaled(x), daily_); }

double CostFunction::stepped_costs(std::span<const double> x, std::span<double> out) {
    require_size("out", out.size(), scale_.size());
    const std::span<const double> levels = scaled(x);
    const double base = sweep_.holds(levels) ? sweep_.recorded_cost() : sweep_.record(*usage_, models_, levels, daily_);
    // The trial level of entry k is (x_k + step) x scale_k, as a full pass of the stepped
    // point would compute it.
    for (std::size_t k = 0; k < x.size(); ++k) out[k] = sweep_.cost_with(k, (x[k] + step_) * scale_[k]);
    return base;
}

void CostFunction::gradient(std::span<const double> x, std::span<double> out) {
    const double base = stepped_costs(x, out);
    const double T = static_cast<double>(usage_->rows());
    for (std::size_t k = 0; k < out.size(); ++k) {
        const double d = (out[k] - base) / T;
        out[k] = x[k] < d ? x[k] : d;
    }
}

void CostFunction::cost_variations(std::span<const double> x, std::span<double> out) { stepped_costs(x, out); }

void CostFunction::record(std::span<const double> x, double cost, std::optional<double> speed) {
    const std::span<const double> levels = scaled(x);
    if (!details_) return;
    const double covered = coverage_general(*usage_, models_, levels, daily_, workspace_);
    const double idle = underutilization_general(*usage_, models_, levels, daily_, workspace_);
    convergence_.push_row(cost, covered, speed, idle);
}

std::vector<std::uint64_t> CostFunction::round_res(std::span<const double> x) {
    std::vector<double> stepped(scale_.size());
    stepped_costs(x, stepped);
    const std::span<const double> levels = scaled(x);
    std::vector<double> v(levels.begin(), levels.end());
    return round_by_sensitivity(stepped, v, [&](std::span<const double> w) { return price_levels(w); });
}

double CostFunction::compute_min(std::span<const std::uint64_t> levels) {
    require_size("levels", levels.size(), scale_.size());
    for (std::size_t i = 0; i < levels.size(); ++i) levels_[i] = static_cast<double>(levels[i]);
    return price_levels(levels_);
}

}  // namespace velmar
