#pragma once
// The pieces of one pass of the cost model over a block of periods, shared by the
// evaluations of cost_utils.cpp and the incremental sweeps of cost_sweep.cpp. Internal to
// the cost model: nothing else includes this.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/array.hpp"
#include "core/cost_workspace.hpp"
#include "core/pricing_models.hpp"
#include "core/vector_kernels.hpp"

namespace velmar::kernel {

enum class Figure { cost, coverage, underutilisation };

using Block = CostWorkspace::Block;

// The rows after `blk`, at most a block of them: what a thread going forwards prices next.
inline Block following(const View2& usage, Block blk) {
    const std::size_t next = blk.begin + blk.length;
    return {next, std::min(CostWorkspace::block, usage.rows - next)};
}

// True when rows begin + 1 .. begin + L - 1 of a row-major array hold the bits of row
// `begin` (a plan tiled over the periods).
inline bool rows_repeat(const View2& v, std::size_t begin, std::size_t L) {
    return rows_repeat(v.data + static_cast<Index>(begin) * v.row_stride, v.row_stride, L, v.cols);
}

// Copies rows [begin, begin + L) of an array into columns `staging_pitch` apart, as
// max(value - less[column], 0) where `less` is given. Eight periods at a time where the
// columns are contiguous (stage_tiles), the rest row by row.
inline void stage_rows(const View2& v, std::size_t begin, std::size_t L, double* out, const double* less) {
    constexpr Index pitch = CostWorkspace::staging_pitch;
    std::size_t i = 0;
    if (v.col_stride == 1) {
        i = L - L % 8;
        stage_tiles(v.data + static_cast<Index>(begin) * v.row_stride, v.row_stride, i / 8, v.cols, less, out);
    }
    for (; i < L; ++i) {
        const double* row = v.data + static_cast<Index>(begin + i) * v.row_stride;
        double* to = out + static_cast<Index>(i);
        for (std::size_t c = 0; c < v.cols; ++c) {
            const double value = row[static_cast<Index>(c) * v.col_stride];
            to[static_cast<Index>(c) * pitch] = less == nullptr ? value : clip_negative(value - less[c]);
        }
    }
}

// Periods [begin, begin + L) of an array as a view whose row 0 is period `begin`, read
// with a unit period stride. Column-major arrays, absent levels and (when the reader
// handles them) broadcast rows are viewed in place, and so are row-major levels whose
// rows in the block repeat (read as one row: the same values, so the same bits); any
// other layout is copied into `staging`, so every later pass reads contiguous columns.
// `rows_known_to_repeat` says that the rows repeat, where the caller has looked already.
inline View2 block_view(const View2& v, std::size_t begin, std::size_t L, double*& staging, bool keep_broadcast,
                        bool rows_known_to_repeat = false) {
    if (v.data == nullptr || (keep_broadcast && v.row_stride == 0)) return {v.data, L, v.cols, 0, v.col_stride};
    if (v.row_stride == 1) return {v.data + begin, L, v.cols, 1, v.col_stride};
    if (keep_broadcast && v.col_stride == 1 && (rows_known_to_repeat || rows_repeat(v, begin, L)))
        return {v.data + static_cast<Index>(begin) * v.row_stride, L, v.cols, 0, 1};
    double* out = staging;
    staging += v.cols * CostWorkspace::staging_pitch;
    stage_rows(v, begin, L, out, nullptr);
    return {out, L, v.cols, 1, CostWorkspace::staging_pitch};
}

// Columns a block of this array takes in the staging area.
inline std::size_t staged_columns(const View2& v, bool keep_broadcast) {
    return v.data == nullptr || (keep_broadcast && v.row_stride == 0) || v.row_stride == 1 ? 0 : v.cols;
}

// Rows [first, first + count) of a row-major array with unit column stride, as memory (none
// when its rows run backwards).
inline Region rows_of(const View2& v, std::size_t first, std::size_t count) {
    if (count == 0 || v.row_stride <= 0) return {};
    const auto* from = reinterpret_cast<const char*>(v.data + static_cast<Index>(first) * v.row_stride);
    return {from, ((count - 1) * static_cast<std::size_t>(v.row_stride) + v.cols) * sizeof(double)};
}

// `r` where it is at most twice the bytes that will be read of it (rows far apart, or
// levels of different arrays, are not worth asking for), else none.
inline Region worth_prefetching(Region r, std::size_t read) { return r.bytes <= 2 * read ? r : Region{}; }

// A block's usage, kind by kind: read in place when its periods are contiguous, else staged
// into columns when the pass first asks for one.
class BlockUsage {
public:
    // With `less`, a staged kind k is staged as max(usage - less[k], 0): the first
    // reservation's pass done on the way (the same operations, so the same bits). `next` is
    // the block the thread prices after this one.
    BlockUsage(const View2& usage, std::size_t begin, std::size_t L, Block next, double* area, const double* less)
        : usage_(usage), begin_(begin), length_(L), next_(next), area_(area), less_(less) {
        if (usage.row_stride == 1) staged_ = {usage.data + begin, L, usage.cols, 1, usage.col_stride};
    }

    const double* column(std::size_t k) {
        prefetch_next_block(k);
        if (staged_.data == nullptr) {
            if (less_ != nullptr) {
                stage_rows(usage_, begin_, length_, area_, less_);
                staged_ = {area_, length_, usage_.cols, 1, CostWorkspace::staging_pitch};
            } else {
                double* area = area_;
                staged_ = block_view(usage_, begin_, length_, area, false);
            }
        }
        return staged_.data + static_cast<Index>(k) * staged_.col_stride;
    }

private:
    // Asks for kind k's share of the next block's usage to be brought into the cache while
    // this block is priced, so the reading of the usage overlaps the arithmetic.
    void prefetch_next_block(std::size_t k) const {
        const std::size_t next = next_.begin;
        const std::size_t L = next_.length;
        if (L == 0) return;
        if (usage_.row_stride == 1) {
            const Region column{
                reinterpret_cast<const char*>(usage_.data + next + static_cast<Index>(k) * usage_.col_stride),
                L * sizeof(double)};
            column.prefetch_share(0, 1);
        } else if (usage_.col_stride == 1) {
            const Region rows = worth_prefetching(rows_of(usage_, next, L), L * usage_.cols * sizeof(double));
            rows.prefetch_share(k, usage_.cols);
        }
    }

    View2 usage_;
    std::size_t begin_;
    std::size_t length_;
    Block next_;
    double* area_;
    const double* less_;
    View2 staged_{};
};

constexpr double infinity = std::numeric_limits<double>::infinity();

// What a commitment has in force in one period of a block: the amount already committed
// plus the new level (none for an already-paid plan), scaled (reservations on daily
// rows count 24 hours), and multiplied by 0 once the term has run out.
struct InForce {
    bool has_new;
    double added;
    double factor;
    bool expired;

    double operator()(double level) const {
        const double v = (has_new ? level + added : level) * factor;
        return expired ? v * 0.0 : v;
    }
    // The same for a column of levels; plain loops the compiler vectorises.
    void fill(const double* __restrict level, double* __restrict out, std::size_t L) const {
        if (has_new) {
            for (std::size_t i = 0; i < L; ++i) out[i] = (level[i] + added) * factor;
        } else {
            for (std::size_t i = 0; i < L; ++i) out[i] = level[i] * factor;
        }
        if (expired)
            for (std::size_t i = 0; i < L; ++i) out[i] *= 0.0;
    }
};

struct Portfolio {
    std::span<const PricingModel> models;
    std::span<const double> new_levels;
    std::size_t n_kinds;
    std::size_t periods;
    bool daily;
    bool expires;

    std::size_t active_periods(const PricingModel& m) const {
        if (!expires || m.kind == ModelKind::on_demand) return periods;
        return std::min(duration(m.term, daily), periods);
    }
    // `entry` is the model's entry of new_levels (its cursor, plus the kind for reservations).
    InForce in_force(const PricingModel& m, std::size_t entry, double factor, Block blk) const {
        const bool has_new = m.term != Term::already_paid;
        return {has_new, has_new ? new_levels[entry] : 0.0, factor, blk.begin >= active_periods(m)};
    }
    std::size_t consumed(const PricingModel& m) const {
        if (m.kind == ModelKind::reserved) return m.term == Term::already_paid ? 0 : n_kinds;
        return m.parameter_count(n_kinds);
    }
};

inline void check_portfolio(const View2& usage, const Portfolio& p) {
    const std::size_t T = usage.rows;
    const std::size_t n = usage.cols;
    require_model_prices(p.models, n);
    std::size_t needed = 0;
    for (std::size_t i = 0; i < p.models.size(); ++i) {
        const PricingModel& m = p.models[i];
        const std::size_t columns = m.kind == ModelKind::reserved ? n : 1;
        if (m.kind != ModelKind::on_demand && m.levels.data != nullptr &&
            (m.levels.rows != T || m.levels.cols < columns))
            shape_failure("levels of pricing model " + std::to_string(i), shape_text({m.levels.rows, m.levels.cols}),
                          shape_text({T, columns}) + " is required");
        needed += p.consumed(m);
    }
    require_size_at_least("new_levels", p.new_levels.size(), needed);
}

// Sum over the periods of a block with eight running partial sums: a fixed order the
// compiler keeps in vector registers (one running sum would be a serial chain). Every
// figure sums through here, so a plan repeated in every period and the same plan given
// per period add the same terms in the same order and agree to the last bit.
template <class Term>
double lane_sum(Term term, std::size_t L) {
    double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 8 <= L; i += 8)
        for (std::size_t j = 0; j < 8; ++j) acc[j] += term(i + j);
    for (; i < L; ++i) acc[i % 8] += term(i);
    return add_lanes(acc);
}

inline double lane_sum(const double* __restrict x, double scale, std::size_t L) {
    return lane_sum([x, scale](std::size_t i) { return x[i] * scale; }, L);
}

// Reserved units of one block: the same in every period, or one value per period.
struct SameEveryPeriod {
    double units;
    double operator[](std::size_t) const { return units; }
};
struct PerPeriod {
    const double* __restrict units;
    double operator[](std::size_t i) const { return units[i]; }
};

// Applies a reservation to the uncovered usage of one kind, from `in` to `out` (which may
// be the same array); returns what the figure keeps per model and kind (the payment for
// cost, reserved units for coverage, idle units for under-utilisation).
template <Figure F, class Units>
double reserve(const double* in, double* out, Units r, double price, std::size_t L) {
    double kept = 0.0;  // summed before `out`, which may be `in`, is written
    if constexpr (F == Figure::cost) kept = lane_sum([&r, price](std::size_t i) { return r[i] * price; }, L);
    if constexpr (F == Figure::coverage) kept = lane_sum([&r](std::size_t i) { return r[i]; }, L);
    if constexpr (F == Figure::underutilisation) {
        kept = lane_sum(
            [&r, in](std::size_t i) {
                const double excess = -(in[i] - r[i]);
                return excess > 0.0 ? excess : 0.0;
            },
            L);
    }
    for (std::size_t i = 0; i < L; ++i) out[i] = clip_negative(in[i] - r[i]);
    return kept;
}

// The sum of L equal terms in lane_sum's order, remembered: a reservation the same in every
// period pays the same term in every block, so its payment is summed once per call (and
// again only when the term or the block length changes).
inline double constant_lane_sum(CostWorkspace::ConstantSum& cached, double term, std::size_t L) {
    if (cached.length != L || std::bit_cast<std::uint64_t>(cached.term) != std::bit_cast<std::uint64_t>(term))
        cached = {L, term, lane_sum([term](std::size_t) { return term; }, L)};
    return cached.sum;
}

// Spends one savings plan's budgets on the uncovered usage of one kind, from `in` to
// `out`; returns the units covered (kept by the coverage figure, through `covered_units`)
// and notes whether every budget is now zero.
template <Figure F>
double spend(const double* in, double* out, double* __restrict b, double price, std::size_t L, char& spent,
             double* __restrict covered_units) {
    if constexpr (F != Figure::coverage) {
        spent = spend_budgets(in, out, b, price, L);
        return 0.0;
    } else {
        std::uint64_t left = 0;  // bits of every budget but the sign: zero when all are spent
        for (std::size_t i = 0; i < L; ++i) {
            const double uncovered = in[i];
            const double covered = nan_aware_min(uncovered, b[i] / price);
            const double after = b[i] - covered * price;
            b[i] = after;
            out[i] = uncovered - covered;
            left |= std::bit_cast<std::uint64_t>(after) << 1;
            covered_units[i] = covered;
        }
        spent = left == 0;
        return lane_sum(covered_units, 1.0, L);
    }
}

// One block's pass through the models: its levels, the kind being priced and its uncovered
// usage as it goes from model to model, and the payments so far. Sums that outlive the
// block go to the workspace: per_model[m * n + k] and per_model_total[m].
struct BlockPass {
    const Portfolio& p;
    Block blk;
    Block next;  // the block this thread prices after this one, asked into the cache on the way
    CostWorkspace& ws;
    const View2* levels;  // per model, viewed from the block start
    double paid = 0.0;    // the cost figure's payments, in the order they are made
    std::size_t k = 0;
    const double* used = nullptr;            // kind k's usage
    const double* uncovered = nullptr;       // its uncovered usage: `used` until a model writes rem()
    bool clipped = false;                    // a reservation has clipped the uncovered usage at zero
    bool first_reserved_in_staging = false;  // the usage was staged with model 0's units taken off
    bool on_demand_paid = false;             // the last savings plan paid on demand's part (below)
    double on_demand_payment = 0.0;

    std::size_t length() const { return blk.length; }
    double* rem() const { return ws.uncovered.data(); }
    double* budget(std::size_t m) const { return ws.budgets.data() + m * CostWorkspace::block; }
    double& kept(std::size_t m) const { return ws.per_model[m * p.n_kinds + k]; }
    void start_kind(std::size_t kind, const double* usage) {
        k = kind;
        used = usage;
        uncovered = usage;
        clipped = false;
        on_demand_paid = false;
    }
};

// Savings-plan budgets of the block: money in force plus the new level, zero once expired.
// The cost pays them in full, spent or not. `entry` is each model's entry of new_levels.
template <Figure F>
void fill_budgets(BlockPass& b) {
    const std::size_t L = b.length();
    std::size_t entry = 0;
    for (std::size_t m = 0; m < b.p.models.size(); ++m) {
        const PricingModel& model = b.p.models[m];
        if (model.kind == ModelKind::savings_plan) {
            const InForce budget = b.p.in_force(model, entry, 1.0, b.blk);
            double* out = b.budget(m);
            const View2& levels = b.levels[m];
            if (levels.data == nullptr || levels.row_stride == 0) {
                std::fill(out, out + L, budget(levels.data == nullptr ? 0.0 : levels(0, 0)));
            } else {
                budget.fill(levels.data, out, L);
            }
            if constexpr (F == Figure::cost) b.paid += lane_sum(out, 1.0, L);
        }
        entry += b.p.consumed(model);
    }
}

// Units of reservation m (its entries of new_levels from `entry`) on kind k in every period
// of the block, where its levels are the same in every period.
inline double block_units(const BlockPass& b, std::size_t m, std::size_t entry, std::size_t k) {
    const View2& levels = b.levels[m];
    const InForce units = b.p.in_force(b.p.models[m], entry + k, b.p.daily ? 24.0 : 1.0, b.blk);
    return units(levels.data == nullptr ? 0.0 : levels(0, k));
}

// Reservation m (its entries of new_levels from `entry`) on kind k: clips the uncovered
// usage at zero and returns what the figure keeps of it (the payment for its units for
// cost, the units for coverage, the idle units for under-utilisation).
template <Figure F>
double price_reservation(BlockPass& b, std::size_t m, std::size_t entry) {
    const PricingModel& model = b.p.models[m];
    const View2& levels = b.levels[m];
    const std::size_t L = b.length();
    const double price = model.prices[b.k];
    double kept;
    if (levels.data == nullptr || levels.row_stride == 0) {
        const SameEveryPeriod r{block_units(b, m, entry, b.k)};
        if constexpr (F == Figure::cost) {
            if (m == 0 && b.first_reserved_in_staging) {
                b.clipped = true;  // `uncovered` is the staged column, clipped already
                return constant_lane_sum(b.ws.constant_sums[b.k], r.units * price, L);
            }
        }
        if constexpr (F == Figure::underutilisation) {
            kept = reserve<F>(b.uncovered, b.rem(), r, price, L);
        } else {
            CostWorkspace::ConstantSum& cached = b.ws.constant_sums[m * b.p.n_kinds + b.k];
            kept = constant_lane_sum(cached, F == Figure::cost ? r.units * price : r.units, L);
            double* out = b.rem();
            for (std::size_t i = 0; i < L; ++i) out[i] = clip_negative(b.uncovered[i] - r.units);
        }
    } else {
        double* r = b.ws.reserved.data();
        const InForce units = b.p.in_force(model, entry + b.k, b.p.daily ? 24.0 : 1.0, b.blk);
        units.fill(levels.data + static_cast<Index>(b.k) * levels.col_stride, r, L);
        kept = reserve<F>(b.uncovered, b.rem(), PerPeriod{r}, price, L);
    }
    b.uncovered = b.rem();
    b.clipped = true;
    return kept;
}

// What a reservation's pass keeps goes to the block's payments (cost) or to its model.
template <Figure F>
void keep_reserved(BlockPass& b, std::size_t m, double kept) {
    if constexpr (F == Figure::cost)
        b.paid += kept;
    else
        b.kept(m) += kept;
}

// Savings plan m on kind k: its budgets buy what they can of the uncovered usage.
template <Figure F>
void price_savings_plan(BlockPass& b, std::size_t m) {
    const double price = b.p.models[m].prices[b.k];
    // Once every budget of the block is spent, a positive finite rate buys nothing more
    // from non-negative usage: skip the division.
    char& spent = b.ws.spent[m];
    if (spent && b.clipped && price > 0.0 && price < infinity) return;
    if constexpr (F == Figure::cost) {
        if (m + 2 == b.p.models.size() && b.p.models[m + 1].kind == ModelKind::on_demand) {
            // On demand, the last model, pays in the same loop: nothing reads the usage after it.
            bool all_spent = false;
            b.on_demand_payment =
                spend_and_pay(b.uncovered, b.budget(m), price, b.p.models[m + 1].prices[b.k], b.length(), all_spent);
            spent = all_spent;
            b.paid += b.on_demand_payment;
            b.on_demand_paid = true;
            return;
        }
    }
    b.kept(m) += spend<F>(b.uncovered, b.rem(), b.budget(m), price, b.length(), spent, b.ws.reserved.data());
    b.uncovered = b.rem();
}

// What on demand pays for kind k's uncovered usage when it is the last model m.
inline double last_on_demand_payment(const BlockPass& b, std::size_t m) {
    return lane_sum(b.uncovered, b.p.models[m].prices[b.k], b.length());
}

// On demand (model m) on kind k: pays for the uncovered usage (cost), or keeps the value
// of the whole usage (coverage).
template <Figure F>
void price_on_demand(BlockPass& b, std::size_t m) {
    const std::size_t L = b.length();
    const double price = b.p.models[m].prices[b.k];
    if constexpr (F == Figure::cost) {
        if (b.on_demand_paid) return;
        if (m + 1 == b.p.models.size()) {
            // Nothing reads the uncovered usage after the last model.
            b.paid += last_on_demand_payment(b, m);
        } else {
            double* rem = b.rem();
            for (std::size_t i = 0; i < L; ++i) rem[i] = b.uncovered[i] * price;
            b.paid += lane_sum(rem, 1.0, L);
            b.uncovered = rem;
        }
    } else if constexpr (F == Figure::coverage) {
        b.kept(m) += lane_sum(b.used, price, L);
    }
}

// Money the savings plans did not spend in this block.
inline void keep_unspent(BlockPass& b) {
    for (std::size_t m = 0; m < b.p.models.size(); ++m) {
        if (b.p.models[m].kind != ModelKind::savings_plan) continue;
        b.ws.per_model_total[m] += lane_sum(b.budget(m), 1.0, b.length());
    }
}

// Model m (its entries of new_levels from `entry`) on kind b.k.
template <Figure F>
void price_model(BlockPass& b, std::size_t m, std::size_t entry) {
    switch (b.p.models[m].kind) {
        case ModelKind::reserved:
            keep_reserved<F>(b, m, price_reservation<F>(b, m, entry));
            break;
        case ModelKind::savings_plan:
            price_savings_plan<F>(b, m);
            break;
        case ModelKind::on_demand:
            price_on_demand<F>(b, m);
            break;
    }
}

// Starts the pass over one block: its usage and every model's levels viewed from the block
// start (staged where the layout needs it, into ws.block_levels and the returned usage), the
// savings-plan budgets filled and no budget spent yet.
template <Figure F>
BlockUsage open_block(const View2& usage, const Portfolio& p, BlockPass& b) {
    double* usage_area = b.ws.staging.data();
    double* staging = usage_area + staged_columns(usage, false) * CostWorkspace::staging_pitch;
    // Rows that repeat across every model's columns repeat in each model's.
    const View2& shared = b.ws.shared_levels;
    const bool repeat = shared.data != nullptr && rows_repeat(shared, b.blk.begin, b.blk.length);
    for (std::size_t m = 0; m < p.models.size(); ++m)
        b.ws.block_levels[m] = block_view(p.models[m].levels, b.blk.begin, b.blk.length, staging, true, repeat);
    fill_budgets<F>(b);
    std::fill(b.ws.spent.begin(), b.ws.spent.end(), char{0});
    // The cost of staged usage whose first model is a reservation the same in every period
    // of the block: the reservation's units come off while the usage is staged.
    b.first_reserved_in_staging = F == Figure::cost && usage.row_stride != 1 && !p.models.empty() &&
                                  p.models[0].kind == ModelKind::reserved &&
                                  (b.ws.block_levels[0].data == nullptr || b.ws.block_levels[0].row_stride == 0);
    if (!b.first_reserved_in_staging) return BlockUsage(usage, b.blk.begin, b.blk.length, b.next, usage_area, nullptr);
    double* units = b.ws.kind_units.data();
    for (std::size_t k = 0; k < p.n_kinds; ++k) units[k] = block_units(b, 0, 0, k);
    return BlockUsage(usage, b.blk.begin, b.blk.length, b.next, usage_area, units);
}

// True when every budget of savings plan m in the block is zero and its rates are positive
// and finite: it buys nothing, and leaving it out changes no figure.
inline bool buys_nothing(const BlockPass& b, std::size_t m) {
    const double* budget = b.budget(m);
    std::uint64_t left = 0;
    for (std::size_t i = 0; i < b.length(); ++i) left |= std::bit_cast<std::uint64_t>(budget[i]) << 1;
    if (left != 0) return false;
    const View1& rates = b.p.models[m].prices;
    for (std::size_t k = 0; k < b.p.n_kinds; ++k)
        if (!(rates[k] > 0.0 && rates[k] < infinity)) return false;
    return true;
}

// The cost of a block whose row-major usage is staged with the first reservation taken off,
// whose other reservations are the same in every period and whose models end with savings
// plans and on demand, priced by price_rows_at_once where the processor has it; the
// payments are then added in the order of the kind-by-kind pass. False when the block is
// not of that kind or the processor has no such version.
inline bool price_rows(const View2& usage, BlockPass& b) {
    const Portfolio& p = b.p;
    const std::size_t M = p.models.size();
    const std::size_t n = p.n_kinds;
    if (!b.first_reserved_in_staging || usage.col_stride != 1 || M < 3 || p.models[M - 1].kind != ModelKind::on_demand)
        return false;
    constexpr std::size_t most_plans = 2;
    double* budgets[most_plans];
    const double* rates[most_plans];
    double* kind_rates = b.ws.kind_rates.data();
    std::size_t plans = 0;
    std::size_t reservations = 0;
    std::size_t entry = p.consumed(p.models[0]);
    for (std::size_t m = 1; m + 1 < M; ++m) {
        const PricingModel& model = p.models[m];
        if (model.kind == ModelKind::reserved) {
            if (plans > 0 || (b.levels[m].data != nullptr && b.levels[m].row_stride != 0)) return false;
            // A reservation of +0 units on every kind (an expired one) gives max(x - 0, 0) = x
            // back for any x, -0 and NaN included: it is left out of the pass, not the payments.
            double* units = b.ws.model_units.data() + reservations * n;
            std::uint64_t bits = 0;
            for (std::size_t k = 0; k < n; ++k) {
                units[k] = block_units(b, m, entry, k);
                bits |= std::bit_cast<std::uint64_t>(units[k]);
            }
            if (bits != 0) ++reservations;
        } else if (model.kind == ModelKind::savings_plan) {
            if (!buys_nothing(b, m)) {
                if (plans == most_plans) return false;
                budgets[plans] = b.budget(m);
                double* rate = kind_rates + plans * n;
                for (std::size_t k = 0; k < n; ++k) rate[k] = model.prices[k];
                rates[plans] = rate;
                ++plans;
            }
        } else {
            return false;
        }
        entry += p.consumed(model);
    }
    if (plans == 0) return false;
    double* on_demand = kind_rates + most_plans * n;
    for (std::size_t k = 0; k < n; ++k) on_demand[k] = p.models[M - 1].prices[k];
    double* lanes = b.ws.kind_lanes.data();
    // The next block's usage and levels, brought into the cache while this one is priced.
    const std::size_t next = b.next.begin;
    const std::size_t next_length = b.next.length;
    const RowBlock rows{usage.data + static_cast<Index>(b.blk.begin) * usage.row_stride,
                        usage.row_stride,
                        n,
                        b.length(),
                        b.ws.kind_units.data(),
                        b.ws.model_units.data(),
                        reservations,
                        budgets,
                        rates,
                        plans,
                        on_demand,
                        lanes,
                        {worth_prefetching(rows_of(usage, next, next_length), next_length * n * sizeof(double)),
                         worth_prefetching(rows_of(b.ws.shared_levels, next, next_length),
                                           next_length * b.ws.shared_levels.cols * sizeof(double))}};
    if (!price_rows_at_once(rows)) return false;
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t model_entry = 0;
        for (std::size_t m = 0; m + 1 < M; ++m) {
            const PricingModel& model = p.models[m];
            if (model.kind == ModelKind::reserved)
                b.paid += constant_lane_sum(b.ws.constant_sums[m * n + k],
                                            block_units(b, m, model_entry, k) * model.prices[k], b.length());
            model_entry += p.consumed(model);
        }
        b.paid += add_lanes(lanes + 8 * k);
    }
    return true;
}

// Prices one block of periods for every kind and model, kind by kind, each kind through
// the models in order, and asks for block `next` on the way. For the cost, the block's
// payments are returned.
template <Figure F>
double price_block(const View2& usage, const Portfolio& p, Block blk, Block next, CostWorkspace& ws) {
    BlockPass b{p, blk, next, ws, ws.block_levels.data()};
    BlockUsage use = open_block<F>(usage, p, b);
    if constexpr (F == Figure::cost) {
        if (price_rows(usage, b)) return b.paid;
    }
    for (std::size_t k = 0; k < p.n_kinds; ++k) {
        b.start_kind(k, use.column(k));
        std::size_t entry = 0;
        for (std::size_t m = 0; m < p.models.size(); ++m) {
            price_model<F>(b, m, entry);
            entry += p.consumed(p.models[m]);
        }
    }
    if constexpr (F == Figure::cost) {
        return b.paid;
    } else {
        keep_unspent(b);
        return 0.0;
    }
}

// The blocks of one pass into `blocks`, in period order: 512 periods at most, cut at every
// expiry. The vector is reused from pass to pass.
inline void plan_blocks(const Portfolio& p, std::vector<Block>& blocks) {
    blocks.clear();
    for (std::size_t begin = 0; begin < p.periods;) {
        std::size_t end = std::min(p.periods, begin + CostWorkspace::block);
        for (const PricingModel& m : p.models) {
            const std::size_t edge = p.active_periods(m);
            if (edge > begin && edge < end) end = edge;
        }
        blocks.push_back({begin, end - begin});
        begin = end;
    }
}

// The models' row-major levels (read a row at a time: unit column stride, neither broadcast
// nor column-major) as one view, where their columns lie side by side in every row, as the
// columns of one level matrix do: a block then reads each row once for all of them, to see
// whether the rows repeat. None (null data) otherwise.
inline View2 shared_levels(std::span<const PricingModel> models) {
    constexpr std::size_t most = 16;
    std::array<const View2*, most> views{};
    std::size_t count = 0;
    for (const PricingModel& model : models) {
        const View2& v = model.levels;
        if (v.data == nullptr || v.row_stride == 0 || v.row_stride == 1) continue;
        if (v.col_stride != 1 || count == most || (count > 0 && v.row_stride != views[0]->row_stride)) return {};
        views[count++] = &v;
    }
    if (count == 0) return {};
    const auto address = [](const double* p) { return reinterpret_cast<std::uintptr_t>(p); };
    std::sort(views.begin(), views.begin() + count,
              [&](const View2* a, const View2* b) { return address(a->data) < address(b->data); });
    const std::uintptr_t from = address(views[0]->data);
    std::uintptr_t to = from;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uintptr_t begin = address(views[i]->data);
        if (begin > to || (begin - from) % sizeof(double) != 0) return {};  // a gap, or out of step
        to = std::max(to, begin + views[i]->cols * sizeof(double));
    }
    return {views[0]->data, views[0]->rows, (to - from) / sizeof(double), views[0]->row_stride, 1};
}

// Makes `ws` ready for a pass: buffers fitted, shared levels found, sums cleared.
inline void prepare(const View2& usage, const Portfolio& p, CostWorkspace& ws) {
    ws.fit(p.n_kinds, p.models.size());
    ws.shared_levels = shared_levels(p.models);
    std::size_t staged = staged_columns(usage, false);
    for (const PricingModel& m : p.models) staged += staged_columns(m.levels, true);
    if (ws.staging.size() < staged * CostWorkspace::staging_pitch)
        ws.staging.resize(staged * CostWorkspace::staging_pitch);
    std::fill(ws.per_model.begin(), ws.per_model.end(), 0.0);
    std::fill(ws.per_model_total.begin(), ws.per_model_total.end(), 0.0);
}

}  // namespace velmar::kernel
