#include "core/cost_utils.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <string>

#include "core/cost_kernel.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"

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

CostWorkspace& call_workspace() {
    thread_local CostWorkspace ws;
    ws.split_over_threads = true;
    return ws;
}

namespace {

using namespace kernel;

// Combines the per-model sums in model order, the way the figures are defined.
double finish_coverage(const Portfolio& p, CostWorkspace& ws) {
    const std::size_t n = p.n_kinds;
    double* covered = ws.per_model.data() + p.models.size() * n;
    std::fill(covered, covered + n, 0.0);
    double unspent = 0.0;
    double value = 1.0;
    for (std::size_t m = 0; m < p.models.size(); ++m) {
        const PricingModel& model = p.models[m];
        const double* kept = ws.per_model.data() + m * n;
        if (model.kind == ModelKind::on_demand) {
            value = 0.0;
            for (std::size_t k = 0; k < n; ++k) value += kept[k];
            for (std::size_t k = 0; k < n; ++k) covered[k] *= model.prices[k];
        } else {
            for (std::size_t k = 0; k < n; ++k) covered[k] += kept[k];
            if (model.kind == ModelKind::savings_plan) unspent += ws.per_model_total[m];
        }
    }
    double sum = unspent;
    for (std::size_t k = 0; k < n; ++k) sum += covered[k];
    return sum / value;
}

double finish_underutilisation(const Portfolio& p, const CostWorkspace& ws) {
    const std::size_t n = p.n_kinds;
    double idle = 0.0;
    for (std::size_t m = 0; m < p.models.size(); ++m) {
        const PricingModel& model = p.models[m];
        if (model.kind == ModelKind::reserved) {
            for (std::size_t k = 0; k < n; ++k) idle += model.prices[k] * ws.per_model[m * n + k];
        } else if (model.kind == ModelKind::savings_plan) {
            idle += ws.per_model_total[m];
        }
    }
    return idle;
}

template <Figure F>
double price_blocks(const View2& usage, const Portfolio& p, std::span<const Block> blocks, CostWorkspace& ws,
                    double* paid) {
    double total = 0.0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const double block_paid = price_block<F>(usage, p, blocks[i], ws);
        if (paid != nullptr) paid[i] = block_paid;
        total += block_paid;
        note_work(blocks[i].length * (p.n_kinds + 1));
    }
    return total;
}

// The payments of a chunk of blocks of a threaded cost, into `paid`, with this thread's
// own workspace.
VELMAR_HOT_KERNEL void price_cost_chunk(const View2& usage, const Portfolio& p, std::span<const Block> blocks,
                                        double* paid) {
    thread_local CostWorkspace ws;
    prepare(usage, p, ws);
    price_blocks<Figure::cost>(usage, p, blocks, ws, paid);
}

// Cells from which a cost is worth splitting over the workers: below, handing the blocks
// out costs more than it saves.
constexpr std::size_t parallel_cells = std::size_t{1} << 17;

// The cost, its blocks priced on the worker pool and their payments added in block order
// afterwards. The calling thread prices chunks too. Each thread prices its chunks with a
// workspace of its own, kept from call to call (pool threads live as long as the process).
double parallel_cost(const View2& usage, const Portfolio& p, std::span<const Block> blocks) {
    // Small chunks, handed out in order, balance the threads when one of them is slowed.
    const std::size_t per_chunk = 2;
    std::vector<double> paid(blocks.size());
    parallel_chunks(
        blocks.size(), per_chunk,
        [&](std::size_t begin, std::size_t end) {
            price_cost_chunk(usage, p, blocks.subspan(begin, end - begin), paid.data() + begin);
        },
        CallerRole::works);
    double total = 0.0;
    for (const double block_paid : paid) total += block_paid;
    return total;
}

template <Figure F>
VELMAR_HOT_KERNEL double evaluate(const View2& usage, const Portfolio& p, CostWorkspace& ws) {
    check_portfolio(usage, p);
    plan_blocks(p, ws.blocks);
    const std::span<const Block> blocks = ws.blocks;
    if constexpr (F == Figure::cost) {
        if (ws.split_over_threads && p.periods * p.n_kinds >= parallel_cells && blocks.size() > 1 && worker_count() > 1)
            return parallel_cost(usage, p, blocks);
    }
    prepare(usage, p, ws);
    const double total = price_blocks<F>(usage, p, blocks, ws, nullptr);
    if constexpr (F == Figure::cost) return total;
    if constexpr (F == Figure::coverage) return finish_coverage(p, ws);
    return finish_underutilisation(p, ws);
}

template <Figure F>
double evaluate_general(const View2& usage, std::span<const PricingModel> models, std::span<const double> new_levels,
                        bool daily, CostWorkspace& ws) {
    const Portfolio p{models, new_levels, usage.cols, usage.rows, daily, true};
    return evaluate<F>(usage, p, ws);
}

// The single plan is a portfolio of three models that never expire: reservations
// (level columns 1..n, price row 2), one savings plan (column 0, row 1), on demand (row 0).
template <Figure F>
double evaluate_plan(const View2& usage, const View2& prices, const View2& levels, CostWorkspace& ws) {
    const std::size_t T = usage.rows;
    const std::size_t n = usage.cols;
    require_price_table("prices", prices, 3, n);
    require_shape("levels", levels, T, n + 1);

    View2 reserved_levels = levels;
    reserved_levels.data = levels.data + levels.col_stride;
    reserved_levels.cols = n;
    View2 plan_levels = levels;
    plan_levels.cols = 1;
    const PricingModel models[3] = {
        {ModelKind::reserved, Term::already_paid, prices.row(2), reserved_levels},
        {ModelKind::savings_plan, Term::already_paid, prices.row(1), plan_levels},
        {ModelKind::on_demand, Term::three_years, prices.row(0), {}},
    };
    const Portfolio p{models, {}, n, T, false, false};
    return evaluate<F>(usage, p, ws);
}

}  // namespace

double on_demand_spend(const View2& usage, const View1& prices, double spend) {
    for (std::size_t k = 0; k < usage.cols; ++k) {
        const View1 column = usage.col(k);
        const double price = prices[k];
        for (std::size_t t = 0; t < usage.rows; ++t) spend += column[t] * price;
    }
    return spend;
}

double on_demand_spend_by_period(const View2& usage, const View1& prices) {
    double spend = 0.0;
    for (std::size_t t = 0; t < usage.rows; ++t)
        for (std::size_t k = 0; k < usage.cols; ++k) spend += usage(t, k) * prices[k];
    return spend;
}

double cost(const View2& usage, const View2& prices, const View2& levels, CostWorkspace& remaining) {
    return evaluate_plan<Figure::cost>(usage, prices, levels, remaining);
}
double coverage(const View2& usage, const View2& prices, const View2& levels, CostWorkspace& remaining) {
    return evaluate_plan<Figure::coverage>(usage, prices, levels, remaining);
}
double underutilisation(const View2& usage, const View2& prices, const View2& levels, CostWorkspace& remaining) {
    return evaluate_plan<Figure::underutilisation>(usage, prices, levels, remaining);
}

double cost_general(const View2& usage, std::span<const PricingModel> models, std::span<const double> new_levels,
                    bool daily, CostWorkspace& remaining) {
    return evaluate_general<Figure::cost>(usage, models, new_levels, daily, remaining);
}
double coverage_general(const View2& usage, std::span<const PricingModel> models, std::span<const double> new_levels,
                        bool daily, CostWorkspace& remaining) {
    return evaluate_general<Figure::coverage>(usage, models, new_levels, daily, remaining);
}
double underutilization_general(const View2& usage, std::span<const PricingModel> models,
                                std::span<const double> new_levels, bool daily, CostWorkspace& remaining) {
    return evaluate_general<Figure::underutilisation>(usage, models, new_levels, daily, remaining);
}

}  // namespace velmar
