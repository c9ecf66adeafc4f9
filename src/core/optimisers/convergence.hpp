#pragma once
// Per-iteration histories of one optimiser run. Each list is either absent or present;
// a run without details keeps all six absent.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.hpp"

namespace velmar {

struct Convergence {
    std::optional<std::vector<double>> costs;
    std::optional<std::vector<double>> coverages;
    std::optional<std::vector<double>> discounts;
    std::optional<std::vector<std::uint64_t>> choices;
    std::optional<std::vector<double>> underutilisation_cost;
    std::optional<std::vector<double>> speeds;

    // Every list present and empty.
    static Convergence new_() {
        return {std::vector<double>{},        std::vector<double>{}, std::vector<double>{},
                std::vector<std::uint64_t>{}, std::vector<double>{}, std::vector<double>{}};
    }
    // All six absent.
    static Convergence absent() { return {}; }
    static Convergence for_details(bool details) { return details ? new_() : absent(); }

    // One row of a cost function's history: the cost, coverage and under-utilisation at a
    // point, the optimiser's speed (0.0 when it has none) and the fixed choice 5 and
    // discount 5.0. An absent list fails with "correct initialisation".
    void push_row(double cost, double coverage, std::optional<double> speed, double underutilisation) {
        constexpr std::string_view absent_message = "correct initialisation";
        push(costs, cost, absent_message);
        push(coverages, coverage, absent_message);
        push(choices, std::uint64_t{5}, absent_message);
        push(discounts, 5.0, absent_message);
        push(speeds, speed.value_or(0.0), absent_message);
        push(underutilisation_cost, underutilisation, absent_message);
    }

    // Appends to a list, failing with the writer's message when the list is absent.
    template <class T>
    static void push(std::optional<std::vector<T>>& list, T value, std::string_view absent_message) {
        if (!list) fail(std::string(absent_message));
        list->push_back(value);
    }
};

}  // namespace velmar
