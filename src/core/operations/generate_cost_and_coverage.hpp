#pragma once
// The generate_cost_and_coverage operation: cost and coverage of randomly drawn plans.

#include <cstdint>
#include <string_view>

#include "core/array.hpp"

namespace velmar {

// Row j holds (cost, coverage) of the j-th drawn plan; n_sample x 2, row-major.
Matrix generate_cost_and_coverage(const View2& usage, const View2& prices, std::uint64_t n_sample,
                                  std::uint64_t n_threads, std::string_view period);

}  // namespace velmar
