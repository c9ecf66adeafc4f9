#pragma once
// The general_optimisation operation: the least-cost new commitments of any portfolio of
// pricing models over one usage history.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/array.hpp"
#include "core/operations/final_results_record.hpp"

namespace velmar {

FinalResults general_optimisation(const View2& usage, const View2& prices, const View2& current_sp_commitments,
                                  std::span<const std::string_view> pricing_models, std::string_view period,
                                  std::uint64_t n_starts, std::string_view optimiser,
                                  std::optional<bool> convergence_details, std::optional<double> step_size);

}  // namespace velmar
