#pragma once
// Costs of level vectors that differ from one base vector in a single entry, as the
// searches ask for them (one step along each coordinate in turn).
//
// The base pass keeps, for every block and kind, the state of the pass before that kind
// (payments so far, the savings plans' budgets and which of them are spent) and what the
// leading reservations left of the kind and paid for it. A vector changed in one entry is
// then priced from the first kind that entry reaches: a reservation of kind k leaves the
// kinds before k untouched and every other kind's reservations as they were; a savings
// plan leaves every reservation as it was. The payments are added in the order of a full
// pass, so every cost has the bits of `cost_general` on the changed vector.

#include <cstddef>
#include <span>
#include <vector>

#include "core/array.hpp"
#include "core/cost_utils.hpp"
#include "core/pricing_models.hpp"

namespace velmar {

class CostSweep {
public:
    // Prices `levels` in full (the cost `cost_general` gives) and keeps what the
    // single-entry costs need. `usage` and `models` must outlive the following calls.
    double record(const View2& usage, std::span<const PricingModel> models, std::span<const double> levels,
                  bool daily);

    // The cost of the recorded levels with entry `entry` set to `value`.
    double cost_with(std::size_t entry, double value);

private:
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    View2 usage_;
    std::span<const PricingModel> models_;
    bool daily_ = false;
    std::vector<double> base_;   // the recorded levels
    std::vector<double> trial_;  // the levels being priced
    double total_ = 0.0;
    std::size_t leading_reservations_ = 0;
    std::vector<std::size_t> savings_plans_;  // model index of each savings plan
    std::vector<std::size_t> entry_model_;    // per entry of the levels
    std::vector<std::size_t> entry_kind_;     // per entry: its kind, or `none` for a savings plan

    // Per block b and kind k (index b * n + k), before the kind is priced:
    std::vector<double> paid_before_;
    std::vector<char> spent_before_;  // x savings plans
    // Per kind k, savings plan s and period t (index (k * S + s) * T + t): its budget left.
    std::vector<double> budgets_before_;
    // Per kind k and period t (index k * T + t): usage left by the leading reservations.
    std::vector<double> reserved_left_;
    // Per block b, kind k and leading reservation r: what r paid.
    std::vector<double> reserved_paid_;
    std::vector<double> block_paid_;
    CostWorkspace workspace_;
};

}  // namespace velmar
