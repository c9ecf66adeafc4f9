#pragma once
// The `cost` and `coverage` operations: one plan priced over a usage history.

#include <optional>

#include "core/array.hpp"

namespace velmar {

// `levels` is a plan vector of n + 1 entries (or one entry for all), repeated in every
// period, or a T x (n + 1) level matrix. Other ranks compute nothing (no result).
std::optional<double> cost_operation(const View2& usage, const View2& prices, const ViewN& levels);
std::optional<double> coverage_operation(const View2& usage, const View2& prices, const ViewN& levels);

}  // namespace velmar
