#pragma once
// The final_cost_coverage_underutilization operation: one figure of a chosen portfolio,
// every commitment taken from the caller's level matrix.

#include <span>
#include <string_view>

#include "core/array.hpp"

namespace velmar {

double final_cost_coverage_underutilization(const View2& usage, const View2& prices, const View2& levels,
                                            std::span<const std::string_view> pricing_models, std::string_view period,
                                            std::string_view cost_or_coverage);

}  // namespace velmar
