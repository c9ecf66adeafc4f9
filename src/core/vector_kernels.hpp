#pragma once
// The innermost loops of the cost pass, in one version per instruction set: a portable one,
// the same compiled for AVX2, and one written for AVX-512 (x86-64-v4). Each call goes to the
// widest version the processor has. Every version does the same IEEE operations on every
// element and sums in the same order, so every version gives the same bits.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/array.hpp"
#include "core/cost_workspace.hpp"

// The whole evaluation is inlined into one function, compiled once more for AVX2 and once
// for AVX-512 where the processor has them (chosen at load time). The inner loops below are
// not inlined: each call goes through the same kind of load-time choice (an ifunc), once
// per block and kind. Without -ffast-math and without FMA contraction every version rounds
// identically. Keep VELMAR_HOT_KERNEL on the outer functions it is
// on: with GCC 12, an exception (an interrupt from note_work) could not leave a clone of
// the inner block loop, and the process aborted (tests/test_reliability.py catches that).
// A build with VELMAR_PORTABLE_ONLY has the portable loops alone (CI tests them so).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(VELMAR_PORTABLE_ONLY)
#include <immintrin.h>
#define VELMAR_WIDE_KERNELS 1
#define VELMAR_HOT_KERNEL [[gnu::flatten, gnu::target_clones("arch=x86-64-v4", "avx2", "default")]]
#define VELMAR_PORTABLE [[gnu::target("default")]]
#define VELMAR_AVX2 [[gnu::target("avx2")]]
#define VELMAR_AVX512 [[gnu::target("arch=x86-64-v4")]]
#else
#define VELMAR_WIDE_KERNELS 0
#define VELMAR_HOT_KERNEL [[gnu::flatten]]
#define VELMAR_PORTABLE
#endif

namespace velmar::kernel {

inline double clip_negative(double v) { return v < 0.0 ? 0.0 : v; }

// Smaller of the two; where one is NaN the other is taken. A select, not a libm call.
inline double nan_aware_min(double uncovered, double quota) {
    return (quota < uncovered || uncovered != uncovered) ? quota : uncovered;
}

// Asks for the cache line at `p` to be brought into the cache. An empty loop of
// __builtin_prefetch calls is removed as dead code by GCC, hence the instruction itself.
inline void prefetch(const char* p) {
#if defined(__x86_64__) && defined(__GNUC__)
    asm volatile("prefetcht0 %0" : : "m"(*p));
#else
    __builtin_prefetch(p);
#endif
}

// Adds lane_sum's eight partial sums in its order.
inline double add_lanes(const double* acc) {
    return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

// One period of a savings plan spending its budget `b` on `uncovered`: returns what stays
// uncovered; `left` gathers the budget's bits but the sign (zero when every budget is spent).
inline double spend_one(double uncovered, double& b, double price, std::uint64_t& left) {
    const double covered = nan_aware_min(uncovered, b / price);
    b = b - covered * price;
    left |= std::bit_cast<std::uint64_t>(b) << 1;
    return uncovered - covered;
}

namespace portable {

// Four doubles, and four 64-bit words, as one vector (plain vectors where the processor has
// no wider ones): the same IEEE operations element by element, so the same bits.
using Doubles4 = double __attribute__((vector_size(32)));
using Words4 = std::uint64_t __attribute__((vector_size(32)));

// Four periods of a savings plan spending `b` on `in`, as spend_one does, what stays
// uncovered into `rest`.
[[gnu::always_inline]] inline void spend_four(const double* in, double* b, double price, Words4& left, Doubles4& rest) {
    Doubles4 uncovered;
    Doubles4 budget;
    std::memcpy(&uncovered, in, sizeof uncovered);
    std::memcpy(&budget, b, sizeof budget);
    const Doubles4 quota = budget / price;
    const Doubles4 covered = ((quota < uncovered) | (uncovered != uncovered)) ? quota : uncovered;
    const Doubles4 after = budget - covered * price;
    std::memcpy(b, &after, sizeof after);
    Words4 after_bits;
    std::memcpy(&after_bits, &after, sizeof after);
    left |= after_bits << 1;
    rest = uncovered - covered;
}

[[gnu::always_inline]] inline bool spend(const double* in, double* out, double* __restrict b, double price,
                                         std::size_t L) {
    Words4 left4 = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 4 <= L; i += 4) {
        Doubles4 rest;
        spend_four(in + i, b + i, price, left4, rest);
        std::memcpy(out + i, &rest, sizeof rest);
    }
    std::uint64_t left = left4[0] | left4[1] | left4[2] | left4[3];
    for (; i < L; ++i) out[i] = spend_one(in[i], b[i], price, left);
    return left == 0;
}

[[gnu::always_inline]] inline double spend_and_pay(const double* in, double* __restrict b, double price,
                                                   double on_demand_price, std::size_t L, bool& spent) {
    Doubles4 lanes[2] = {{0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}};
    Words4 left4 = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 8 <= L; i += 8) {
        Doubles4 rest[2];
        spend_four(in + i, b + i, price, left4, rest[0]);
        spend_four(in + i + 4, b + i + 4, price, left4, rest[1]);
        lanes[0] += rest[0] * on_demand_price;
        lanes[1] += rest[1] * on_demand_price;
    }
    double acc[8];
    std::memcpy(acc, lanes, sizeof acc);
    std::uint64_t left = left4[0] | left4[1] | left4[2] | left4[3];
    for (; i < L; ++i) acc[i % 8] += spend_one(in[i], b[i], price, left) * on_demand_price;
    spent = left == 0;
    return add_lanes(acc);
}

[[gnu::always_inline]] inline void stage_tiles(const double* rows, Index row_stride, std::size_t tiles,
                                               std::size_t cols, const double* less, double* out) {
    constexpr Index pitch = CostWorkspace::staging_pitch;
    for (std::size_t tile = 0; tile < tiles; ++tile) {
        const double* from = rows + static_cast<Index>(8 * tile) * row_stride;
        double* to_tile = out + static_cast<Index>(8 * tile);
        for (std::size_t c = 0; c < cols; ++c) {
            double* to = to_tile + static_cast<Index>(c) * pitch;
            if (less != nullptr) {
                for (std::size_t t = 0; t < 8; ++t)
                    to[t] = clip_negative(from[static_cast<Index>(t) * row_stride + static_cast<Index>(c)] - less[c]);
            } else {
                for (std::size_t t = 0; t < 8; ++t)
                    to[t] = from[static_cast<Index>(t) * row_stride + static_cast<Index>(c)];
            }
        }
    }
}

[[gnu::always_inline]] inline bool rows_repeat(const double* first, Index row_stride, std::size_t rows,
                                               std::size_t cols) {
    for (std::size_t i = 1; i < rows; ++i) {
        const double* row = first + static_cast<Index>(i) * row_stride;
        std::uint64_t differ = 0;
        for (std::size_t c = 0; c < cols; ++c)
            differ |= std::bit_cast<std::uint64_t>(row[c]) ^ std::bit_cast<std::uint64_t>(first[c]);
        if (differ != 0) return false;
    }
    return true;
}

}  // namespace portable

// Spends a savings plan's budgets `b` on the uncovered usage `in` of one kind, writing what
// stays uncovered to `out` (which may be `in`); true when every budget is now zero.
VELMAR_PORTABLE inline bool spend_budgets(const double* in, double* out, double* __restrict b, double price,
                                          std::size_t L) {
    return portable::spend(in, out, b, price, L);
}

// The last savings plan and on demand in one loop: spends the budgets as spend_budgets
// does and returns what stays uncovered at the on-demand price, summed in lane_sum's eight
// lanes and order, so the cost keeps its bits. Only the budgets are written.
VELMAR_PORTABLE inline double spend_and_pay(const double* in, double* __restrict b, double price,
                                            double on_demand_price, std::size_t L, bool& spent) {
    return portable::spend_and_pay(in, b, price, on_demand_price, L, spent);
}

// Copies `tiles` runs of eight rows of a row-major array (unit column stride) into columns
// `staging_pitch` apart, as max(value - less[c], 0) where `less` is given. Each kind's eight
// values fill one cache line of the staging area.
VELMAR_PORTABLE inline void stage_tiles(const double* rows, Index row_stride, std::size_t tiles, std::size_t cols,
                                        const double* less, double* out) {
    portable::stage_tiles(rows, row_stride, tiles, cols, less, out);
}

// True when rows 1 .. rows - 1 of a row-major array (unit column stride) hold the bits of
// row 0, `first` (a plan tiled over the periods).
VELMAR_PORTABLE inline bool rows_repeat(const double* first, Index row_stride, std::size_t rows, std::size_t cols) {
    return portable::rows_repeat(first, row_stride, rows, cols);
}

// Bytes of memory from `from`.
struct Region {
    const char* from = nullptr;
    std::size_t bytes = 0;

    // Asks for share `part` of `parts` of the region to be brought into the cache.
    void prefetch_share(std::size_t part, std::size_t parts) const { prefetch_part(part, share_of(parts)); }

    // Bytes in each of `parts` shares (the last may be shorter).
    std::size_t share_of(std::size_t parts) const { return (bytes / 64 / parts + 1) * 64; }
    // Asks for part `part` of the region, in shares of `share` bytes, to be brought into the cache.
    void prefetch_part(std::size_t part, std::size_t share) const {
        const std::size_t end = std::min((part + 1) * share, bytes);
        for (std::size_t at = part * share; at < end; at += 64) prefetch(from + at);
    }
};

// One block of row-major usage (unit column stride) whose reservations are the same in
// every period and whose models end with savings plans and then on demand.
struct RowBlock {
    const double* rows;  // the block's first row
    Index row_stride;
    std::size_t kinds;
    std::size_t length;
    const double* first_units;   // per kind: the first reservation's units
    const double* units;         // per further reservation and kind (reservations x kinds)
    std::size_t reservations;    // further reservations
    double* const* budgets;      // per savings plan: its budgets of the block, spent in place
    const double* const* rates;  // per savings plan: its price per kind
    std::size_t plans;           // savings plans, at least one
    const double* on_demand;     // price per kind
    double* lanes;               // per kind: what on demand pays, in lane_sum's eight lanes
    Region next[2];              // the next block's usage and levels, asked into the cache on the way
};

// Prices a RowBlock kind by kind within each run of 64 periods, the run's usage transposed
// in registers and the budgets kept there: the same operations on every period and kind, in
// the same order per period, and each kind's payments summed in lane_sum's lanes and order.
// Every savings plan spends, spent or not: a spent budget buys nothing at a positive finite
// rate, so the figures are the same. False where the processor has no such version: the
// caller then prices the block kind by kind.
VELMAR_PORTABLE inline bool price_rows_at_once(const RowBlock&) { return false; }

#if VELMAR_WIDE_KERNELS
VELMAR_AVX2 inline bool price_rows_at_once(const RowBlock&) { return false; }

VELMAR_AVX2 inline bool rows_repeat(const double* first, Index row_stride, std::size_t rows, std::size_t cols) {
    return portable::rows_repeat(first, row_stride, rows, cols);
}

VELMAR_AVX2 inline bool spend_budgets(const double* in, double* out, double* __restrict b, double price,
                                      std::size_t L) {
    return portable::spend(in, out, b, price, L);
}

VELMAR_AVX2 inline double spend_and_pay(const double* in, double* __restrict b, double price, double on_demand_price,
                                        std::size_t L, bool& spent) {
    return portable::spend_and_pay(in, b, price, on_demand_price, L, spent);
}

VELMAR_AVX2 inline void stage_tiles(const double* rows, Index row_stride, std::size_t tiles, std::size_t cols,
                                    const double* less, double* out) {
    portable::stage_tiles(rows, row_stride, tiles, cols, less, out);
}

// GCC 12's AVX-512 intrinsics start some results from a deliberately undefined vector,
// which its own uninitialised-use warnings then report.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace avx512 {

// Eight periods of a savings plan spending `budget` on `uncovered`, as spend_one does;
// returns what stays uncovered.
VELMAR_AVX512 inline __m512d spend_eight(__m512d uncovered, __m512d& budget, __m512d price) {
    const __m512d quota = _mm512_div_pd(budget, price);
    // min_pd(a, b) is a < b ? a : b (b where either is NaN): nan_aware_min where the
    // uncovered usage is a number, and the quota where it is NaN.
    const __m512d covered =
        _mm512_mask_min_pd(quota, _mm512_cmp_pd_mask(uncovered, uncovered, _CMP_ORD_Q), quota, uncovered);
    budget = _mm512_sub_pd(budget, _mm512_mul_pd(covered, price));
    return _mm512_sub_pd(uncovered, covered);
}

// The same on the budgets at `b`, gathering their bits but the sign into `left`.
VELMAR_AVX512 inline __m512d spend_eight(__m512d uncovered, double* b, __m512d price, __m512i& left) {
    __m512d budget = _mm512_loadu_pd(b);
    const __m512d rest = spend_eight(uncovered, budget, price);
    _mm512_storeu_pd(b, budget);
    const __m512i bits = _mm512_castpd_si512(budget);
    left = _mm512_or_si512(left, _mm512_add_epi64(bits, bits));  // shifted left by one
    return rest;
}

// max(0, v), which is v where v is NaN or -0, as clip_negative.
VELMAR_AVX512 inline __m512d clip_negative(__m512d v) { return _mm512_max_pd(_mm512_setzero_pd(), v); }

VELMAR_AVX512 inline std::uint64_t or_words(__m512i words) {
    std::uint64_t w[8];
    _mm512_storeu_si512(w, words);
    return ((w[0] | w[1]) | (w[2] | w[3])) | ((w[4] | w[5]) | (w[6] | w[7]));
}

// Rows r[0..7] of eight values each, transposed in place: r[j] then holds value j of every row.
VELMAR_AVX512 inline void transpose(__m512d (&r)[8]) {
    __m512d pairs[8];  // [a0 b0 a2 b2 a4 b4 a6 b6] and [a1 b1 a3 b3 a5 b5 a7 b7] of rows a, b
    for (int j = 0; j < 8; j += 2) {
        pairs[j] = _mm512_unpacklo_pd(r[j], r[j + 1]);
        pairs[j + 1] = _mm512_unpackhi_pd(r[j], r[j + 1]);
    }
    const __m512i low = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
    const __m512i high = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    __m512d quads[8];  // [a0 b0 c0 d0 a4 b4 c4 d4] and the like, of rows a to d and of e to h
    for (int half = 0; half < 8; half += 4) {
        quads[half + 0] = _mm512_permutex2var_pd(pairs[half + 0], low, pairs[half + 2]);   // 0, 4
        quads[half + 1] = _mm512_permutex2var_pd(pairs[half + 1], low, pairs[half + 3]);   // 1, 5
        quads[half + 2] = _mm512_permutex2var_pd(pairs[half + 0], high, pairs[half + 2]);  // 2, 6
        quads[half + 3] = _mm512_permutex2var_pd(pairs[half + 1], high, pairs[half + 3]);  // 3, 7
    }
    for (int j = 0; j < 4; ++j) {
        r[j] = _mm512_shuffle_f64x2(quads[j], quads[j + 4], 0x44);      // values 0, 1, 2, 3
        r[j + 4] = _mm512_shuffle_f64x2(quads[j], quads[j + 4], 0xEE);  // values 4, 5, 6, 7
    }
}

}  // namespace avx512

// The differing bits of every row against the first gathered eight words wide, and looked
// at every eight rows.
VELMAR_AVX512 inline bool rows_repeat(const double* first, Index row_stride, std::size_t rows, std::size_t cols) {
    const std::size_t whole = cols - cols % 8;
    const auto tail = static_cast<__mmask8>((1u << (cols % 8)) - 1);
    __m512i differ = _mm512_set1_epi64(0);
    for (std::size_t i = 1; i < rows; ++i) {
        const double* row = first + static_cast<Index>(i) * row_stride;
        std::size_t c = 0;
        for (; c < whole; c += 8)  // differ | (row ^ first)
            differ =
                _mm512_ternarylogic_epi64(differ, _mm512_loadu_si512(row + c), _mm512_loadu_si512(first + c), 0xF6);
        if (tail != 0)
            differ = _mm512_ternarylogic_epi64(differ, _mm512_maskz_loadu_epi64(tail, row + c),
                                               _mm512_maskz_loadu_epi64(tail, first + c), 0xF6);
        if (i % 8 == 0 && _mm512_test_epi64_mask(differ, differ) != 0) return false;
    }
    return _mm512_test_epi64_mask(differ, differ) == 0;
}

VELMAR_AVX512 inline bool spend_budgets(const double* in, double* out, double* __restrict b, double price,
                                        std::size_t L) {
    const __m512d rate = _mm512_set1_pd(price);
    __m512i left8 = _mm512_set1_epi64(0);
    std::size_t i = 0;
    for (; i + 8 <= L; i += 8)
        _mm512_storeu_pd(out + i, avx512::spend_eight(_mm512_loadu_pd(in + i), b + i, rate, left8));
    std::uint64_t left = avx512::or_words(left8);
    for (; i < L; ++i) out[i] = spend_one(in[i], b[i], price, left);
    return left == 0;
}

VELMAR_AVX512 inline double spend_and_pay(const double* in, double* __restrict b, double price, double on_demand_price,
                                          std::size_t L, bool& spent) {
    const __m512d rate = _mm512_set1_pd(price);
    const __m512d pay = _mm512_set1_pd(on_demand_price);
    __m512d lanes = _mm512_setzero_pd();
    __m512i left8 = _mm512_set1_epi64(0);
    std::size_t i = 0;
    for (; i + 8 <= L; i += 8)
        lanes =
            _mm512_add_pd(lanes, _mm512_mul_pd(avx512::spend_eight(_mm512_loadu_pd(in + i), b + i, rate, left8), pay));
    double acc[8];
    _mm512_storeu_pd(acc, lanes);
    std::uint64_t left = avx512::or_words(left8);
    for (; i < L; ++i) acc[i % 8] += spend_one(in[i], b[i], price, left) * on_demand_price;
    spent = left == 0;
    return add_lanes(acc);
}

VELMAR_AVX512 inline void stage_tiles(const double* rows, Index row_stride, std::size_t tiles, std::size_t cols,
                                      const double* less, double* out) {
    constexpr Index pitch = CostWorkspace::staging_pitch;
    const std::size_t whole = cols - cols % 8;
    for (std::size_t tile = 0; tile < tiles; ++tile) {
        const double* from = rows + static_cast<Index>(8 * tile) * row_stride;
        double* to = out + static_cast<Index>(8 * tile);
        for (std::size_t c = 0; c < whole; c += 8) {
            __m512d r[8];
            for (int t = 0; t < 8; ++t) r[t] = _mm512_loadu_pd(from + t * row_stride + static_cast<Index>(c));
            if (less != nullptr) {
                const __m512d units = _mm512_loadu_pd(less + c);
                for (__m512d& v : r) v = avx512::clip_negative(_mm512_sub_pd(v, units));
            }
            avx512::transpose(r);
            for (std::size_t j = 0; j < 8; ++j) _mm512_storeu_pd(to + static_cast<Index>(c + j) * pitch, r[j]);
        }
    }
    if (whole < cols)
        portable::stage_tiles(rows + whole, row_stride, tiles, cols - whole, less == nullptr ? nullptr : less + whole,
                              out + static_cast<Index>(whole) * pitch);
}

namespace avx512 {

// Periods [first, first + 8 * Tiles) of a RowBlock, the budgets of its Plans savings plans
// for those periods in registers.
template <std::size_t Plans, std::size_t Tiles>
VELMAR_AVX512 inline void price_run(const RowBlock& f, std::size_t first) {
    __m512d budget[Plans][Tiles];
    for (std::size_t s = 0; s < Plans; ++s)
        for (std::size_t t = 0; t < Tiles; ++t) budget[s][t] = _mm512_loadu_pd(f.budgets[s] + first + 8 * t);
    // This run's share of the next block, a slice after each kind.
    const std::size_t slices = f.length / (8 * Tiles) * f.kinds;
    const std::size_t slice_bytes[2] = {f.next[0].share_of(slices), f.next[1].share_of(slices)};
    alignas(64) double staged[Tiles][8][8];  // tile, kind of the group, period of the tile
    for (std::size_t group = 0; group < f.kinds; group += 8) {
        const std::size_t kinds = std::min<std::size_t>(8, f.kinds - group);
        const __mmask8 present = static_cast<__mmask8>((1u << kinds) - 1);
        const __m512d first_units = _mm512_maskz_loadu_pd(present, f.first_units + group);
        for (std::size_t t = 0; t < Tiles; ++t) {
            __m512d r[8];
            for (std::size_t i = 0; i < 8; ++i) {
                const double* row = f.rows + static_cast<Index>(first + 8 * t + i) * f.row_stride;
                r[i] = clip_negative(_mm512_sub_pd(_mm512_maskz_loadu_pd(present, row + group), first_units));
            }
            transpose(r);
            for (std::size_t j = 0; j < 8; ++j) _mm512_store_pd(staged[t][j], r[j]);
        }
        for (std::size_t j = 0; j < kinds; ++j) {
            const std::size_t k = group + j;
            for (std::size_t r = 0; r < 2; ++r)
                f.next[r].prefetch_part(first / (8 * Tiles) * f.kinds + k, slice_bytes[r]);
            __m512d rate[Plans];
            for (std::size_t s = 0; s < Plans; ++s) rate[s] = _mm512_set1_pd(f.rates[s][k]);
            const __m512d pay = _mm512_set1_pd(f.on_demand[k]);
            __m512d lanes = _mm512_loadu_pd(f.lanes + 8 * k);
#pragma GCC unroll 8
            for (std::size_t t = 0; t < Tiles; ++t) {
                __m512d x = _mm512_load_pd(staged[t][j]);
                for (std::size_t q = 0; q < f.reservations; ++q)
                    x = clip_negative(_mm512_sub_pd(x, _mm512_set1_pd(f.units[q * f.kinds + k])));
#pragma GCC unroll 2
                for (std::size_t s = 0; s + 1 < Plans; ++s) x = spend_eight(x, budget[s][t], rate[s]);
                lanes = _mm512_add_pd(lanes, _mm512_mul_pd(spend_eight(x, budget[Plans - 1][t], rate[Plans - 1]), pay));
            }
            _mm512_storeu_pd(f.lanes + 8 * k, lanes);
        }
    }
    for (std::size_t s = 0; s < Plans; ++s)
        for (std::size_t t = 0; t < Tiles; ++t) _mm512_storeu_pd(f.budgets[s] + first + 8 * t, budget[s][t]);
}

// Every whole run of 64 periods, then the whole tiles left one at a time; returns the
// periods priced.
template <std::size_t Plans>
VELMAR_AVX512 inline std::size_t price_runs(const RowBlock& f) {
    std::size_t first = 0;
    for (; first + 64 <= f.length; first += 64) price_run<Plans, 8>(f, first);
    for (; first + 8 <= f.length; first += 8) price_run<Plans, 1>(f, first);
    return first;
}

}  // namespace avx512

VELMAR_AVX512 inline bool price_rows_at_once(const RowBlock& f) {
    if (f.plans != 1 && f.plans != 2) return false;
    std::fill(f.lanes, f.lanes + 8 * f.kinds, 0.0);
    const std::size_t done = f.plans == 1 ? avx512::price_runs<1>(f) : avx512::price_runs<2>(f);
    // The periods after the last whole tile, each through the kinds in order.
    for (std::size_t i = done; i < f.length; ++i) {
        const double* row = f.rows + static_cast<Index>(i) * f.row_stride;
        for (std::size_t k = 0; k < f.kinds; ++k) {
            double x = clip_negative(row[k] - f.first_units[k]);
            for (std::size_t q = 0; q < f.reservations; ++q) x = clip_negative(x - f.units[q * f.kinds + k]);
            std::uint64_t left = 0;
            for (std::size_t s = 0; s + 1 < f.plans; ++s) x = spend_one(x, f.budgets[s][i], f.rates[s][k], left);
            const double rest = spend_one(x, f.budgets[f.plans - 1][i], f.rates[f.plans - 1][k], left);
            f.lanes[8 * k + i % 8] += rest * f.on_demand[k];
        }
    }
    return true;
}

#pragma GCC diagnostic pop
#endif

}  // namespace velmar::kernel
