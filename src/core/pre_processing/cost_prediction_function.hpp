#pragma once
// CostPredictionFunction: the objective function of the search over predicted usage, the
// mean over the prediction samples of the portfolio's cost. Parameters are the commitment
// levels themselves (reserved units, savings-plan money per period), in the sorted
// portfolio's layout.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/array.hpp"
#include "core/cost_workspace.hpp"
#include "core/optimisers/convergence.hpp"
#include "core/pricing_models.hpp"

namespace velmar {

class CostPredictionFunction {
public:
    // Borrows the samples (one T x n history each) and the sorted models; they must
    // outlive the cost function. Each coordinate gets its own finite-difference step:
    // the units (reserved) or money (savings plan) worth 1/5000 of the mean on-demand
    // spend per period (1000 without an on-demand model).
    CostPredictionFunction(std::span<const View2> samples, std::span<const PricingModel> models, bool daily,
                           bool details);

    std::span<const double> scale() const { return scale_; }
    std::size_t parameter_count() const { return scale_.size(); }
    bool details() const { return details_; }
    const Convergence& convergence() const { return convergence_; }

    // Mean cost over the samples at levels x.
    double call(std::span<const double> x);
    // Entry k: the cost change of a step h_k up along k, capped at x_k, divided by h_k.
    void gradient(std::span<const double> x, std::span<double> out);
    // Entry k: the cost after a step h_k up along k.
    void cost_variations(std::span<const double> x, std::span<double> out);
    // One history row with mean coverage and under-utilisation, when details were asked for.
    void record(std::span<const double> x, double cost, std::optional<double> speed);
    // Whole levels near x, decided against the mean cost; dearest steps first.
    std::vector<std::uint64_t> round_res(std::span<const double> x);
    // Mean cost at whole levels.
    double compute_min(std::span<const std::uint64_t> levels);

private:
    template <class Figure>
    double mean_over_samples(std::span<const double> levels, Figure figure);
    void stepped_costs(std::span<const double> x, std::span<double> out);

    std::span<const View2> samples_;
    std::span<const PricingModel> models_;
    bool daily_;
    bool details_;
    std::vector<double> scale_;
    CostWorkspace workspace_;
    std::vector<double> levels_;  // scratch: whole levels as floats
    std::vector<double> trial_;   // scratch: x with one coordinate stepped
    Convergence convergence_;
};

}  // namespace velmar
