#include "core/cost_workspace.hpp"

namespace velmar {

void CostWorkspace::fit(std::size_t n_kinds, std::size_t n_models) {
    if (uncovered.size() < block) uncovered.resize(block);
    if (reserved.size() < block) reserved.resize(block);
    if (kind_units.size() < n_kinds) kind_units.resize(n_kinds);
    if (model_units.size() < n_models * n_kinds) model_units.resize(n_models * n_kinds);
    if (kind_lanes.size() < 8 * n_kinds) kind_lanes.resize(8 * n_kinds);
    if (kind_rates.size() < 3 * n_kinds) kind_rates.resize(3 * n_kinds);
    if (budgets.size() < n_models * block) budgets.resize(n_models * block);
    // One row per model plus one row for the covered units of every kind.
    if (per_model.size() < (n_models + 1) * n_kinds) per_model.resize((n_models + 1) * n_kinds);
    if (per_model_total.size() < n_models) per_model_total.resize(n_models);
    if (spent.size() < n_models) spent.resize(n_models);
    if (block_levels.size() < n_models) block_levels.resize(n_models);
    if (constant_sums.size() < n_models * n_kinds) constant_sums.resize(n_models * n_kinds);
}

WorkspaceLoan::WorkspaceLoan(KeptWorkspace& kept, bool split_over_threads) : kept_(kept.lent ? nullptr : &kept) {
    if (kept_ != nullptr) {
        kept_->lent = true;
        ws_ = &kept_->ws;
    } else {
        fresh_ = std::make_unique<CostWorkspace>();
        ws_ = fresh_.get();
    }
    ws_->split_over_threads = split_over_threads;
}

WorkspaceLoan::~WorkspaceLoan() {
    if (kept_ != nullptr) kept_->lent = false;
}

WorkspaceLoan call_workspace() {
    thread_local KeptWorkspace kept;
    return WorkspaceLoan(kept, true);
}

}  // namespace velmar
