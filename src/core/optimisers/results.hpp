#pragma once
// Outcome of one optimiser run.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/optimisers/convergence.hpp"

namespace velmar {

struct Results {
    std::uint64_t n_iter = 0;
    double minimum = 0.0;
    Convergence convergence;
    std::vector<std::uint64_t> argmin;
};

// The end of every run: `point` rounded to whole levels by the objective, the objective at
// those levels, the iteration count and the history.
template <class Objective>
Results finish_run(Objective& objective, std::span<const double> point, std::uint64_t n_iter, Convergence convergence) {
    Results out;
    out.argmin = objective.round_res(point);
    out.minimum = objective.compute_min(out.argmin);
    out.n_iter = n_iter;
    out.convergence = std::move(convergence);
    return out;
}

}  // namespace velmar
