#pragma once
// Steepest descent with moves of constant Euclidean length, for as long as each move
// lowers the cost.

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/array.hpp"
#include "core/optimisers/optimisable.hpp"
#include "core/optimisers/results.hpp"
#include "core/runtime/interrupt.hpp"

namespace velmar {

inline constexpr std::uint64_t gradiant_descent_max_steps = 10000;

// Ends at the first move that does not lower the cost (that move is kept), after
// 10,000 moves, or where the gradient vanishes (no move there: the direction is
// undefined). n_iter = passes made, the last one included (at most 10,000).
template <Optimisable F>
Results gradiant_descent(F& cf, std::span<const double> start, double step) {
    require_size("start", start.size(), cf.parameter_count());
    std::vector<double> x(start.begin(), start.end());
    std::vector<double> g(x.size());
    double current = cf.call(start);
    std::uint64_t it = 0;
    std::uint64_t next = 0;
    for (;;) {
        next = it + 1;
        if (next % 8 == 0) poll_interrupt();
        cf.gradient(x, g);
        double sq = 0.0;
        for (double gi : g) sq += gi * gi;
        const double norm = std::sqrt(sq);
        // A zero gradient gives no direction; stepping would turn x into NaN.
        if (norm == 0.0) break;
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = x[i] - (g[i] / norm) * step;
        const double c = cf.call(x);
        if (!(c < current)) break;
        current = c;
        if (it + 1 >= gradiant_descent_max_steps) break;
        it = next;
    }
    return finish_run(cf, x, next, cf.convergence());
}

}  // namespace velmar
