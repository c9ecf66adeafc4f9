#pragma once
// Turns the chosen optimiser run into the operation's result: levels grouped by term.

#include <span>

#include "core/operations/final_results_record.hpp"
#include "core/optimisers/results.hpp"
#include "core/pricing_models.hpp"

namespace velmar {

FinalResults finalise_results(Results run, std::span<const PricingModel> models, bool has_step, double coverage,
                              double underutilisation, double step);

}  // namespace velmar
