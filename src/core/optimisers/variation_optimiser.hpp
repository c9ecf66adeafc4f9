#pragma once
// Greedy coordinate search over a cost function's parameters: each pass tries one step
// up along every coordinate and takes the best, while that lowers the cost.

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/array.hpp"
#include "core/optimisers/optimisable.hpp"
#include "core/optimisers/results.hpp"
#include "core/runtime/interrupt.hpp"

namespace velmar {

namespace detail {

// First index of the smallest variation. Unlike the single-plan search this one cannot
// skip a NaN: a comparison that meets one, or an empty list, fails with `message`.
inline std::size_t strict_argmin(std::span<const double> v, const char* message) {
    if (v.empty()) fail(message);
    std::size_t best = 0;
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (std::isnan(v[i]) || std::isnan(v[best])) fail(message);
        if (v[i] < v[best]) best = i;
    }
    return best;
}

// Cost change of one step up along every coordinate.
template <Optimisable F>
void pass_variations(F& cf, std::span<const double> x, double current, std::span<double> v) {
    cf.cost_variations(x, v);
    for (double& d : v) d -= current;
}

}  // namespace detail

// Stops at the first pass where no move lowers the cost. n_iter = improving moves + 1.
template <Optimisable F>
Results default_optimiser(F& cf, std::span<const double> start, double step) {
    require_size("start", start.size(), cf.parameter_count());
    std::vector<double> x(start.begin(), start.end());
    std::vector<double> v(x.size());
    // Carried forward by adding the chosen variation, never recomputed from x.
    double current = cf.call(start);
    std::uint64_t c = 1;
    for (;;) {
        detail::pass_variations(cf, x, current, v);
        const std::size_t k = detail::strict_argmin(v, "expect the costs variations to be non empty");
        if (!(v[k] < 0.0)) break;
        x[k] = x[k] + step;
        current = current + v[k];
        ++c;
        if (c % 8 == 0) poll_interrupt();
    }
    return finish_run(cf, x, c, cf.convergence());
}

// Makes every move, improving or not, and stops once the failed moves reach half the
// improving ones (counted at each failure, so later improvements widen the budget).
// Returns the point of the last improving move; n_iter = every move made. The cost
// function records the point before each move when it keeps details.
template <Optimisable F>
Results default_optimiser_details(F& cf, std::span<const double> start, double step) {
    require_size("start", start.size(), cf.parameter_count());
    std::vector<double> x(start.begin(), start.end());
    std::vector<double> saved = x;
    std::vector<double> v(x.size());
    double current = cf.call(start);
    std::uint64_t improving = 0;
    std::uint64_t failed = 0;
    std::uint64_t limit = 1;
    for (;;) {
        if ((failed + improving) % 16 == 0) poll_interrupt();
        detail::pass_variations(cf, x, current, v);
        const std::size_t k = detail::strict_argmin(v, "expect the costs varuations to be non empty");
        if (cf.details()) cf.record(x, current, std::nullopt);
        x[k] = x[k] + step;
        if (v[k] < 0.0) {
            ++improving;
            saved = x;
        } else {
            ++failed;
            limit = improving / 2;
        }
        current = current + v[k];
        if (failed >= limit) break;
    }
    return finish_run(cf, saved, failed + improving, cf.convergence());
}

}  // namespace velmar
