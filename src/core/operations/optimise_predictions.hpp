#pragma once
// The optimise_predictions operation: the least mean-cost new commitments over a set of
// predicted usage scenarios.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/array.hpp"
#include "core/operations/final_results_record.hpp"

namespace velmar {

FinalResults optimise_predictions(const View3& predictions, const View2& prices, const View2& current_sp_commitments,
                                  std::span<const std::string_view> pricing_models, std::string_view period,
                                  std::uint64_t n_starts, std::optional<bool> convergence_details);

}  // namespace velmar
