#pragma once
// Costs of level vectors that differ from one base vector in a single entry, as the
// searches ask for them (one step along each coordinate in turn).
//
// The base pass keeps, for every block and kind, the state of the pass before that kind
// (payments so far, the savings plans' budgets and which of them are spent) and what the
// leading reservations left of the kind and paid for it. A vector changed in one entry is
// then priced from the first kind that entry reaches: a reservation of kind k leaves the
// kinds before k untouched and every other kind's reservations as they were; a savings
// plan leaves every reservation as it was. Once the savings plans' budgets of a block are
// back to what they were before a kind (all spent, say), every later kind of the block is
// as recorded, and its recorded payments are added instead. The payments are added in the
// order of a full pass, so every cost has the bits of `cost_general` on the changed vector.

#include <cstddef>
#include <span>
#include <vector>

#include "core/array.hpp"
#include "core/cost_workspace.hpp"
#include "core/pricing_models.hpp"

namespace velmar {

namespace kernel {
struct BlockPass;
}

class CostSweep {
public:
    // Prices `levels` in full (the cost `cost_general` gives) and keeps what the
    // single-entry costs need. `usage` and `models` must outlive the following calls.
    double record(const View2& usage, std::span<const PricingModel> models, std::span<const double> levels, bool daily);

    // True when the last recorded levels are `levels`, bit for bit (of the same usage and
    // models): their cost is `recorded_cost()` and their single-entry costs can be asked.
    bool holds(std::span<const double> levels) const;
    double recorded_cost() const { return total_; }

    // The cost of the recorded levels with entry `entry` set to `value`.
    double cost_with(std::size_t entry, double value);

private:
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    // True when the budgets (and spent marks) of the pass `b` of block `block` are those the
    // recorded pass had before kind k.
    bool as_recorded_before(std::size_t block, std::size_t k, const kernel::BlockPass& b) const;

    bool recorded_ = false;
    View2 usage_;
    std::span<const PricingModel> models_;
    bool daily_ = false;
    std::vector<double> base_;   // the recorded levels
    std::vector<double> trial_;  // the levels being priced
    double total_ = 0.0;
    std::size_t leading_reservations_ = 0;
    std::vector<std::size_t> savings_plans_;  // model index of each savings plan
    std::vector<std::size_t> entry_kind_;     // per entry of the levels: its kind, or `none` (savings plan)

    // Per block b and kind k (index b * n + k), before the kind is priced:
    std::vector<double> paid_before_;
    std::vector<char> spent_before_;  // x savings plans
    // Per kind k, savings plan s and period t (index (k * S + s) * T + t): its budget left.
    std::vector<double> budgets_before_;
    // Per kind k and period t (index k * T + t): usage left by the leading reservations.
    std::vector<double> reserved_left_;
    // Per block b, kind k and leading reservation r: what r paid.
    std::vector<double> reserved_paid_;
    // Per block b and kind k: what on demand paid, when the portfolio ends with savings
    // plans and on demand after its leading reservations (`reusable_`): then a kind's
    // payments are its reservations' and this.
    std::vector<double> on_demand_paid_;
    std::vector<CostWorkspace::Block> blocks_;
    bool reusable_ = false;
    CostWorkspace workspace_;
};

}  // namespace velmar
