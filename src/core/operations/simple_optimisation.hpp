#pragma once
// The simple_optimisation operation: the least-cost single plan (one savings-plan
// commitment and one reserved level per kind) of one horizon.

#include <optional>
#include <string_view>

#include "core/array.hpp"
#include "core/operations/final_results_record.hpp"

namespace velmar {

FinalResults simple_optimisation(const View2& usage, const View2& prices, std::string_view period,
                                 std::string_view horizon, std::optional<bool> convergence_details,
                                 std::optional<double> step, std::optional<View1> starting_point);

// sqrt(n) x (on-demand value of the usage per period) / 1000: the move size when the
// caller gives none.
double default_step(const View2& usage, const View1& on_demand_prices);

}  // namespace velmar
