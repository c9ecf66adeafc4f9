#pragma once
// What an optimiser needs of a cost function. Optimisers are templates constrained by
// this concept, so every call in a search is resolved at compile time.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/optimisers/convergence.hpp"

namespace velmar {

template <class F>
concept Optimisable = requires(F& f, const F& cf, std::span<const double> x, std::span<double> out, double cost,
                               std::optional<double> speed, std::span<const std::uint64_t> levels) {
    { cf.parameter_count() } -> std::convertible_to<std::size_t>;
    // Objective at x.
    { f.call(x) } -> std::same_as<double>;
    // One entry per parameter, written into `out` (which has parameter_count() entries).
    { f.gradient(x, out) } -> std::same_as<void>;
    // Cost after one step up along each coordinate, written into `out`.
    { f.cost_variations(x, out) } -> std::same_as<void>;
    // Appends one history row when details were asked for.
    { f.record(x, cost, speed) } -> std::same_as<void>;
    // Whole commitment levels near x.
    { f.round_res(x) } -> std::same_as<std::vector<std::uint64_t>>;
    // Objective at whole levels.
    { f.compute_min(levels) } -> std::same_as<double>;
    { cf.details() } -> std::same_as<bool>;
    { cf.convergence() } -> std::same_as<const Convergence&>;
};

}  // namespace velmar
