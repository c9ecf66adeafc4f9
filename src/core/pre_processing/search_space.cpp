#include "core/pre_processing/search_space.hpp"

#include <limits>
#include <string>

namespace velmar {

std::vector<Range> create_space(const View2& usage, const View2& prices, double m) {
    const std::size_t T = usage.rows;
    const std::size_t n = usage.cols;
    require_price_table("prices", prices, 2, n);

    constexpr double inf = std::numeric_limits<double>::infinity();
    std::vector<double> low(n, inf);
    std::vector<double> high(n, -inf);
    double peak = -inf;
    const View1 rate = prices.row(1);
    for (std::size_t t = 0; t < T; ++t) {
        double demand = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            const double u = usage(t, k);
            // Comparisons with NaN are false, so a NaN cell never replaces a bound.
            if (u < low[k]) low[k] = u;
            if (u > high[k]) high[k] = u;
            demand += u * rate[k];
        }
        if (demand > peak) peak = demand;
    }

    std::vector<Range> space;
    space.reserve(n + 1);
    space.push_back({0.0, peak / m});
    for (std::size_t k = 0; k < n; ++k) space.push_back({low[k] / m, high[k] / m + 1e-7});
    return space;
}

std::vector<double> create_steps(const View2& prices, double step, double m) {
    const std::size_t n = prices.cols;
    require_price_table("prices", prices, 3, n);

    std::vector<double> steps(n + 1, 1.0);
    const View1 reserved = prices.row(2);
    for (std::size_t k = 0; k < n; ++k) steps[1 + k] = 1.0 / (reserved[k] * m);
    for (double& s : steps) s *= step;
    return steps;
}

}  // namespace velmar
