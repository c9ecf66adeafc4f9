#pragma once
// The record an optimisation operation returns (FinalResults), handed to the boundary for
// wrapping.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/optimisers/convergence.hpp"

namespace velmar {

inline constexpr const char* one_year_key = "one_year_commitments";
inline constexpr const char* three_years_key = "three_years_commitments";

struct FinalResults {
    std::uint64_t n_iter = 0;
    double minimum = 0.0;
    double coverage = 0.0;
    double underutilization_cost = 0.0;
    std::optional<double> step_size;
    Convergence convergence;
    // Commitment levels by term key, in insertion order.
    std::vector<std::pair<std::string, std::vector<std::uint64_t>>> commitments;
};

}  // namespace velmar
