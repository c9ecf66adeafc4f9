#include "core/optimisers/ordering.hpp"

#include <algorithm>
#include <numeric>

namespace velmar {

std::size_t first_argmin(std::span<const double> arr) {
    if (arr.empty()) fail("assertion failed: !arr.is_empty()");
    std::size_t i = 0;
    while (i < arr.size() && std::isnan(arr[i])) ++i;
    if (i == arr.size()) return 0;
    std::size_t best = i;
    for (++i; i < arr.size(); ++i)
        if (arr[i] < arr[best]) best = i;
    return best;
}

std::vector<std::size_t> descending_order(std::span<const double> keys) {
    if (keys.size() >= 2 && std::any_of(keys.begin(), keys.end(), [](double k) { return std::isnan(k); }))
        fail("never empty");
    std::vector<std::size_t> order(keys.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    std::reverse(order.begin(), order.end());
    return order;
}

std::vector<std::uint64_t> to_levels(std::span<const double> v) {
    std::vector<std::uint64_t> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = saturating_level(v[i]);
    return out;
}

std::vector<double> to_floats(std::span<const std::uint64_t> levels) {
    std::vector<double> out(levels.size());
    for (std::size_t i = 0; i < levels.size(); ++i) out[i] = static_cast<double>(levels[i]);
    return out;
}

}  // namespace velmar
