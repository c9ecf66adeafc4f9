#pragma once
// Pieces shared by the optimisers and the cost functions: which move wins, in which order
// coordinates are rounded, and the rounding itself.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/array.hpp"

namespace velmar {

// Index of the smallest entry, the first one on ties. NaN entries are never chosen; the
// scan starts from the first number (index 0 when there is none).
// Fails with "assertion failed: !arr.is_empty()" on an empty list.
std::size_t first_argmin(std::span<const double> arr);

// Indices sorted by ascending key (stable), then reversed: the largest key first, equal
// keys in descending index order. A NaN key cannot be ordered: with two or more keys
// every key meets a comparison, so any NaN fails with "never empty".
std::vector<std::size_t> descending_order(std::span<const double> keys);

// Whole levels of v, one coordinate at a time in `order`: floor, or floor + 1 when that
// costs no more (a tie or a NaN keeps the upper value). Every evaluation sees the
// coordinates already decided and the others as they were. `cost` maps the current v to
// its cost. v is left holding the decisions.
template <class Cost>
void round_coordinates(std::span<double> v, std::span<const std::size_t> order, Cost&& cost) {
    for (std::size_t k : order) {
        v[k] = std::floor(v[k]);
        const double lo = cost(std::span<const double>(v));
        v[k] = v[k] + 1.0;
        const double hi = cost(std::span<const double>(v));
        if (lo < hi) v[k] = v[k] - 1.0;
    }
}

// The cost after one step along each coordinate: for k in order, trial[k] moves to
// x[k] + step(k), out[k] = cost(trial), and trial[k] goes back to x[k]. `trial` holds x on
// entry and on return.
template <class Step, class Cost>
void probe_coordinates(std::span<const double> x, std::span<double> trial, Step&& step, Cost&& cost,
                       std::span<double> out) {
    for (std::size_t k = 0; k < x.size(); ++k) {
        trial[k] = x[k] + step(k);
        out[k] = cost(std::span<const double>(trial));
        trial[k] = x[k];
    }
}

// Truncation toward zero, saturating: NaN and negatives give 0.
std::vector<std::uint64_t> to_levels(std::span<const double> v);
std::vector<double> to_floats(std::span<const std::uint64_t> levels);

// The whole rounding: order the coordinates by `keys` (the cost of one step up along
// each), decide them with `cost`, return the unsigned levels.
template <class Cost>
std::vector<std::uint64_t> round_by_sensitivity(std::span<const double> keys, std::span<double> v, Cost&& cost) {
    const std::vector<std::size_t> order = descending_order(keys);
    round_coordinates(v, order, cost);
    return to_levels(v);
}

}  // namespace velmar
