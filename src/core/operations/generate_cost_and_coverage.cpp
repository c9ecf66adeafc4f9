#include "core/operations/generate_cost_and_coverage.hpp"

#include <algorithm>
#include <vector>

#include "core/cost_utils.hpp"
#include "core/pre_processing/search_space.hpp"
#include "core/runtime/parallel.hpp"
#include "core/runtime/random.hpp"

namespace velmar {

namespace {

// Prices column j of `plans` for every j, `figure` into column `out_col` of `out`.
void price_samples(const ColumnMatrix& usage, const View2& prices, const Matrix& plans, std::size_t piece,
                   PlanFigure figure, Matrix& out, std::size_t out_col) {
    const std::size_t levels = plans.rows();
    parallel_chunks(plans.cols(), piece, [&](std::size_t begin, std::size_t end) {
        CostWorkspace remaining;
        std::vector<double> plan(levels);
        const View2 every_period{plan.data(), usage.rows(), levels, 0, 1};
        for (std::size_t j = begin; j < end; ++j) {
            for (std::size_t i = 0; i < levels; ++i) plan[i] = plans(i, j);
            out(j, out_col) = figure(usage, prices, every_period, remaining);
        }
    });
}

}  // namespace

Matrix generate_cost_and_coverage(const View2& usage, const View2& prices, std::uint64_t n_sample,
                                  std::uint64_t n_threads, std::string_view) {
    const std::size_t n = usage.cols;
    require_price_table("prices", prices, 3, n);
    // Every owned array is allocated before the first pass over the usage, so an input too
    // large for memory fails at once; the passes read the copy.
    const ColumnMatrix history(usage);
    Matrix out(n_sample, 2);
    // Row i holds the draws of interval i: plan j is column j.
    Matrix plans(n + 1, n_sample);
    const std::vector<Range> bounds = create_space(history, prices, 1.0);

    for (std::size_t i = 0; i <= n; ++i) {
        const Uniform draw(0.0, bounds[i].high);
        for (std::size_t j = 0; j < n_sample; ++j) plans(i, j) = draw.draw();
    }
    if (n_threads == 0) fail("attempt to divide by zero");
    // n_threads sets the size of a piece of work, not the number of threads.
    const std::size_t piece = std::max<std::uint64_t>(n_sample / n_threads, 1);

    price_samples(history, prices, plans, piece, &cost, out, 0);
    price_samples(history, prices, plans, piece, &coverage, out, 1);
    return out;
}

}  // namespace velmar
