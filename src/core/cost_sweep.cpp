#include "core/cost_sweep.hpp"

#include <algorithm>
#include <cstring>

#include "core/cost_kernel.hpp"
#include "core/runtime/interrupt.hpp"

namespace velmar {

namespace {

using namespace kernel;

constexpr Figure cost_figure = Figure::cost;

}  // namespace

VELMAR_HOT_KERNEL double CostSweep::record(const View2& usage, std::span<const PricingModel> models,
                                           std::span<const double> levels, bool daily) {
    recorded_ = false;  // until the pass below completes
    usage_ = usage;
    models_ = models;
    daily_ = daily;
    base_.assign(levels.begin(), levels.end());
    trial_ = base_;
    const std::size_t n = usage.cols;
    const std::size_t T = usage.rows;
    const Portfolio p{models, base_, n, T, daily, true};
    check_portfolio(usage, p);
    prepare(usage, p, workspace_);

    leading_reservations_ = 0;
    while (leading_reservations_ < models.size() && models[leading_reservations_].kind == ModelKind::reserved)
        ++leading_reservations_;
    savings_plans_.clear();
    entry_kind_.clear();
    for (std::size_t m = 0; m < models.size(); ++m) {
        if (models[m].kind == ModelKind::savings_plan) savings_plans_.push_back(m);
        const std::size_t consumed = p.consumed(models[m]);
        for (std::size_t j = 0; j < consumed; ++j) {
            entry_kind_.push_back(models[m].kind == ModelKind::reserved ? j : none);
        }
    }
    // The trial levels of cost_with leave the blocks as they are (they depend on the models).
    plan_blocks(p, blocks_);
    const std::span<const Block> blocks = blocks_;
    const std::size_t S = savings_plans_.size();
    const std::size_t R = leading_reservations_;
    // Every entry is written by the pass below: sized, not cleared.
    paid_before_.resize(blocks.size() * n);
    spent_before_.resize(blocks.size() * n * S);
    budgets_before_.resize(element_count(n * S, T));
    reserved_left_.resize(R > 0 ? element_count(n, T) : 0);
    reserved_paid_.resize(blocks.size() * n * R);
    reusable_ = !models.empty() && models.back().kind == ModelKind::on_demand && R + S + 1 == models.size();
    on_demand_paid_.resize(reusable_ ? blocks.size() * n : 0);

    CostWorkspace& ws = workspace_;
    total_ = 0.0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Block blk = blocks[i];
        BlockPass b{p, blk, following(usage, blk), ws, ws.block_levels.data()};
        BlockUsage use = open_block<cost_figure>(usage, p, b);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t at = i * n + k;
            paid_before_[at] = b.paid;
            for (std::size_t s = 0; s < S; ++s) {
                const double* budget = b.budget(savings_plans_[s]);
                std::copy(budget, budget + blk.length, budgets_before_.data() + (k * S + s) * T + blk.begin);
                spent_before_[at * S + s] = ws.spent[savings_plans_[s]];
            }
            b.start_kind(k, use.column(k));
            std::size_t entry = 0;
            for (std::size_t m = 0; m < models.size(); ++m) {
                if (m < R) {
                    const double kept = price_reservation<cost_figure>(b, m, entry);
                    reserved_paid_[at * R + m] = kept;
                    b.paid += kept;
                    if (m + 1 == R)
                        std::copy(b.uncovered, b.uncovered + blk.length, reserved_left_.data() + k * T + blk.begin);
                } else if (reusable_ && m + 1 == models.size()) {
                    if (!b.on_demand_paid) {  // else the last savings plan paid it already
                        b.on_demand_payment = last_on_demand_payment(b, m);
                        b.paid += b.on_demand_payment;
                    }
                    on_demand_paid_[at] = b.on_demand_payment;
                } else {
                    price_model<cost_figure>(b, m, entry);
                }
                entry += p.consumed(models[m]);
            }
        }
        total_ += b.paid;
        note_work(blk.length * (n + 1));
    }
    recorded_ = true;
    return total_;
}

bool CostSweep::holds(std::span<const double> levels) const {
    return recorded_ && levels.size() == base_.size() &&
           (levels.empty() || std::memcmp(levels.data(), base_.data(), levels.size() * sizeof(double)) == 0);
}

bool CostSweep::as_recorded_before(std::size_t block, std::size_t k, const kernel::BlockPass& b) const {
    const std::size_t n = usage_.cols;
    const std::size_t S = savings_plans_.size();
    for (std::size_t s = 0; s < S; ++s) {
        const std::size_t m = savings_plans_[s];
        const double* recorded = budgets_before_.data() + (k * S + s) * usage_.rows + b.blk.begin;
        if (b.ws.spent[m] != spent_before_[(block * n + k) * S + s] ||
            std::memcmp(b.budget(m), recorded, b.blk.length * sizeof(double)) != 0)
            return false;
    }
    return true;
}

VELMAR_HOT_KERNEL double CostSweep::cost_with(std::size_t entry, double value) {
    if (entry >= entry_kind_.size()) return total_;  // an entry no model reads
    std::copy(base_.begin(), base_.end(), trial_.begin());
    trial_[entry] = value;
    const std::size_t n = usage_.cols;
    const std::size_t T = usage_.rows;
    const Portfolio p{models_, trial_, n, T, daily_, true};
    const std::size_t changed_kind = entry_kind_[entry];
    // A reservation reaches its own kind and the savings plans and on demand of the kinds
    // after it; a savings plan every kind from the first, through its budgets.
    const bool reserved = changed_kind != none;
    const std::size_t first_kind = reserved ? changed_kind : 0;
    const std::size_t S = savings_plans_.size();
    const std::size_t R = leading_reservations_;
    const std::span<const Block> blocks = blocks_;
    CostWorkspace& ws = workspace_;

    double total = 0.0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Block blk = blocks[i];
        BlockPass b{p, blk, following(usage_, blk), ws, ws.block_levels.data()};
        BlockUsage use = open_block<cost_figure>(usage_, p, b);
        if (reserved) {
            const std::size_t at = i * n + first_kind;
            b.paid = paid_before_[at];
            for (std::size_t s = 0; s < S; ++s) {
                const double* kept = budgets_before_.data() + (first_kind * S + s) * T + blk.begin;
                std::copy(kept, kept + blk.length, b.budget(savings_plans_[s]));
                ws.spent[savings_plans_[s]] = spent_before_[at * S + s];
            }
        }
        for (std::size_t k = first_kind; k < n; ++k) {
            b.start_kind(k, use.column(k));
            std::size_t model_entry = 0;
            std::size_t m = 0;
            if (!(reserved && k == changed_kind)) {
                // The leading reservations of this kind are as recorded.
                for (; m < R; ++m) {
                    b.paid += reserved_paid_[(i * n + k) * R + m];
                    model_entry += p.consumed(models_[m]);
                }
                if (R > 0) {
                    b.uncovered = reserved_left_.data() + k * T + blk.begin;
                    b.clipped = true;
                }
            }
            for (; m < models_.size(); ++m) {
                price_model<cost_figure>(b, m, model_entry);
                model_entry += p.consumed(models_[m]);
            }
            if (reusable_ && k + 1 < n && as_recorded_before(i, k + 1, b)) {
                for (std::size_t j = k + 1; j < n; ++j) {
                    for (std::size_t r = 0; r < R; ++r) b.paid += reserved_paid_[(i * n + j) * R + r];
                    b.paid += on_demand_paid_[i * n + j];
                }
                break;
            }
        }
        total += b.paid;
        note_work(blk.length * (n + 1 - first_kind));
    }
    return total;
}

}  // namespace velmar
