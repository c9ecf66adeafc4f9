#pragma once
// Gradient search with momentum: the velocity accumulates the negative gradient with a
// decay, the parameters move by a fraction of it, and the best point seen is kept.

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/array.hpp"
#include "core/optimisers/optimisable.hpp"
#include "core/optimisers/results.hpp"
#include "core/runtime/interrupt.hpp"

namespace velmar {

inline constexpr double inertial_decay = 0.98;
inline constexpr double inertial_rate = 0.1;
inline constexpr double inertial_speed_threshold = 1.0;
inline constexpr std::uint64_t inertial_max_updates = 500;

// One run from `start`: at most 500 updates, ending as soon as the speed (the velocity's
// norm) drops to 1.0 or below. Returns the best point seen, rounded; n_iter = updates.
// The history is the cost function's whole history: every run needs a cost function of
// its own.
template <Optimisable F>
Results inertial_optimiser(F& cf, std::span<const double> start) {
    require_size("start", start.size(), cf.parameter_count());
    std::vector<double> x(start.begin(), start.end());
    std::vector<double> velocity(x.size(), 0.0);
    std::vector<double> g(x.size());
    std::vector<double> best = x;
    double best_cost = cf.call(start);
    std::uint64_t it = 0;
    std::uint64_t next = 0;
    for (;;) {
        next = it + 1;
        if (next % 8 == 0) poll_interrupt();
        cf.gradient(x, g);
        double sq = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            velocity[i] = inertial_decay * velocity[i] - g[i];
            x[i] = x[i] + inertial_rate * velocity[i];
            sq += velocity[i] * velocity[i];
        }
        const double speed = std::sqrt(sq);
        const double c = cf.call(x);
        if (cf.details()) cf.record(x, c, speed);
        if (c < best_cost) {
            best = x;
            best_cost = c;
        }
        if (!(speed > inertial_speed_threshold) || it + 1 >= inertial_max_updates) break;
        it = next;
    }
    return finish_run(cf, best, next, cf.convergence());
}

}  // namespace velmar
