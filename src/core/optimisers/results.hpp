#pragma once
// Outcome of one optimiser run.

#include <cstdint>
#include <vector>

#include "core/optimisers/convergence.hpp"

namespace velmar {

struct Results {
    std::uint64_t n_iter = 0;
    double minimum = 0.0;
    Convergence convergence;
    std::vector<std::uint64_t> argmin;
};

}  // namespace velmar
