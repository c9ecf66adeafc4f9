#include "core/cost_utils.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <string>

#include "core/cost_kernel.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"

namespace velmar {

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
double price_blocks(const View2& usage, const Portfolio& p, std::span<const Block> blocks, CostWorkspace& ws) {
    double total = 0.0;
    for (const Block blk : blocks) {
        total += price_block<F>(usage, p, blk, following(usage, blk), ws);
        note_work(blk.length * (p.n_kinds + 1));
    }
    return total;
}

// The blocks of a threaded cost not yet taken, [front, back), taken one at a time from
// either end: a thread that goes forwards prices the block after the one it took next, one
// that goes backwards the block before, so each knows the block to ask into its cache while
// it prices one; threads meet wherever the work has brought them.
class BothEnds {
public:
    static constexpr std::size_t most = 0xFFFFFFFF;  // blocks it can hand out
    explicit BothEnds(std::size_t n) : ends_(n) {}

    // The block taken from the front or from the back, or none when none is left.
    std::optional<std::size_t> take(bool forwards) {
        std::uint64_t ends = ends_.load(std::memory_order_acquire);
        for (;;) {
            const std::uint64_t front = ends >> 32;
            const std::uint64_t back = ends & 0xFFFFFFFF;
            if (front >= back) return std::nullopt;
            const std::uint64_t taken = forwards ? ends + (std::uint64_t{1} << 32) : ends - 1;
            if (ends_.compare_exchange_weak(ends, taken, std::memory_order_acq_rel)) return forwards ? front : back - 1;
        }
    }

private:
    std::atomic<std::uint64_t> ends_;  // front << 32 | back
};

// Prices the blocks of `segment` that this thread takes from one end, their payments into
// `paid` by block, with this thread's own workspace.
VELMAR_HOT_KERNEL void price_from_one_end(const View2& usage, const Portfolio& p, std::span<const Block> blocks,
                                          BothEnds& segment, std::size_t first, bool forwards, double* paid) {
    thread_local KeptWorkspace kept;
    const WorkspaceLoan loan(kept, false);
    CostWorkspace& ws = *loan;
    prepare(usage, p, ws);
    while (const std::optional<std::size_t> taken = segment.take(forwards)) {
        const std::size_t i = first + *taken;
        const std::size_t after = forwards ? i + 1 : i - 1;  // wraps past 0 to the end
        const Block next = after < blocks.size() ? blocks[after] : Block{0, 0};
        paid[i] = price_block<Figure::cost>(usage, p, blocks[i], next, ws);
        note_work(blocks[i].length * (p.n_kinds + 1));
    }
}

// Cells from which a cost is worth splitting over the workers: below, handing the blocks
// out costs more than it saves.
constexpr std::size_t parallel_cells = std::size_t{1} << 17;

// The cost, its blocks priced on the worker pool and their payments added in block order
// afterwards. The blocks are cut into one segment per two threads: thread 2s (threads are
// numbered in the order they join; the calling thread is usually first) goes forwards from
// the start of segment s, thread 2s + 1 backwards from its end, and a thread whose segment
// is done goes on through the next ones the same way, so a thread slow to start leaves its
// blocks to the others. Each thread prices with a workspace of its own, kept from call to
// call (pool threads live as long as the process).
double parallel_cost(const View2& usage, const Portfolio& p, std::span<const Block> blocks) {
    const std::size_t threads = worker_count();
    const std::size_t segments = (threads + 1) / 2;
    const std::size_t per_segment = (blocks.size() + segments - 1) / segments;
    std::deque<BothEnds> ends;  // not movable: a deque builds them in place
    for (std::size_t s = 0; s < segments; ++s)
        ends.emplace_back(std::min(per_segment, blocks.size() - std::min(blocks.size(), s * per_segment)));
    std::vector<double> paid(blocks.size());
    parallel_chunks(
        threads, 1,
        [&](std::size_t thread, std::size_t) {
            for (std::size_t s = 0; s < segments; ++s) {
                const std::size_t segment = (thread / 2 + s) % segments;
                price_from_one_end(usage, p, blocks, ends[segment], segment * per_segment, thread % 2 == 0,
                                   paid.data());
            }
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
        if (ws.split_over_threads && p.periods * p.n_kinds >= parallel_cells && blocks.size() > 1 &&
            blocks.size() <= BothEnds::most && worker_count() > 1)
            return parallel_cost(usage, p, blocks);
    }
    prepare(usage, p, ws);
    const double total = price_blocks<F>(usage, p, blocks, ws);
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
