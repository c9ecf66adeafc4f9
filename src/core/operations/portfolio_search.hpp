#pragma once
// Pieces shared by the portfolio searches: parsing the caller's pricing models with one
// search range per parameter, drawing starting points, and the parallel multi-start.

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "core/array.hpp"
#include "core/optimisers/inertial_optimiser.hpp"
#include "core/optimisers/results.hpp"
#include "core/pre_processing/search_space.hpp"
#include "core/pricing_models.hpp"
#include "core/runtime/parallel.hpp"

namespace velmar {

struct SearchPortfolio {
    std::vector<PricingModel> models;  // sorted
    std::vector<Range> ranges;         // one per parameter, in the sorted parameter layout
};

// A copy of the price rows (n entries each) that the models view for the whole call.
Matrix own_prices(const View2& prices, std::size_t n);

// Search ranges of the parameters of one new commitment.
using RangesFor = std::function<std::vector<Range>(const PricingModel& model)>;

// Parses the names (already-paid plans allowed), giving model i row i of `prices` and the
// u-th already-paid plan column u of `current_sp`, sorts the models, and collects the
// ranges of each new commitment in the sorted parameter layout.
SearchPortfolio parse_search_portfolio(std::span<const std::string_view> names, const Matrix& prices,
                                       const View2& current_sp, std::size_t periods, const RangesFor& ranges_for);

// Column-wise maximum over periods and the row maximum of a priced sum, NaN skipped.
double nan_skipping_max(double current, double candidate);

// P x (n_starts + 1) starting points: for each range n_starts uniform draws, then 0.0.
Matrix starting_points(std::span<const Range> ranges, std::uint64_t n_starts);

// Runs the inertial search from every column of `starts` on the worker pool and keeps the
// least minimum (the first on ties; a NaN on either side hands the choice to the later
// run). Runs differ in length, so each is a chunk of its own that the next free worker
// takes. Each run has a cost function of its own, so its history is its own; the cost
// function borrows the shared usage and costs little to build.
template <class MakeCostFunction>
Results best_inertial_run(const Matrix& starts, MakeCostFunction make_cost_function) {
    const std::size_t count = starts.cols();
    std::vector<Results> runs(count);
    parallel_chunks(count, 1, [&](std::size_t begin, std::size_t end) {
        std::vector<double> start(starts.rows());
        for (std::size_t j = begin; j < end; ++j) {
            for (std::size_t r = 0; r < start.size(); ++r) start[r] = starts(r, j);
            auto cf = make_cost_function();
            runs[j] = inertial_optimiser(cf, start);
        }
    });
    if (runs.empty()) fail("not an empty set");
    std::size_t best = 0;
    for (std::size_t j = 1; j < count; ++j)
        if (!(runs[best].minimum <= runs[j].minimum)) best = j;
    return std::move(runs[best]);
}

}  // namespace velmar
