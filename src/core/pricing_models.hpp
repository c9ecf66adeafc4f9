#pragma once
// Pricing models (on demand, reserved instances, savings plans), their order, and the
// period and horizon codes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/array.hpp"

namespace velmar {

enum class ModelKind : std::uint8_t { on_demand = 0, reserved = 1, savings_plan = 2 };
enum class Term : std::uint8_t { three_years = 0, one_year = 1, already_paid = 2 };

// A value record that views arrays owned by the operation that built it.
struct PricingModel {
    ModelKind kind = ModelKind::on_demand;
    Term term = Term::three_years;
    View1 prices;  // one price per instance kind
    // Amounts in force per period: reserved units (T x n) or savings-plan money (T x 1).
    // A null `data` means nothing is in force yet (all zero). A row stride of 0 repeats
    // one row in every period.
    View2 levels;

    // Entries of the parameter vector this model takes: n per new reservation, one per
    // new savings plan, none otherwise.
    std::size_t parameter_count(std::size_t n_kinds) const;
    bool is_new_commitment() const { return kind != ModelKind::on_demand && term != Term::already_paid; }
};

int order_key(const PricingModel& m);
inline bool operator<(const PricingModel& a, const PricingModel& b) { return order_key(a) < order_key(b); }

// Periods a commitment of this term lasts: 365 / 1095 days or 8760 / 26280 hours;
// an already-paid plan lasts three years.
std::size_t duration(Term term, bool daily);

std::size_t parameter_count(std::span<const PricingModel> models, std::size_t n_kinds);

// The kind and term a name denotes. With `allow_paid`, a name containing "payed_" is an
// already-paid savings plan. Fails with "Not a known pricing model".
PricingModel parse_model_name(std::string_view name, bool allow_paid);

// Refuses `model`, named `name`, when `earlier` already holds one that a repeat would price
// twice: a second on-demand model always, and with `unique_commitments` a second new
// commitment of the same kind and term. Fails with "pricing model listed twice: NAME".
void refuse_repeat(std::span<const PricingModel> earlier, const PricingModel& model, std::string_view name,
                   bool unique_commitments);

// Fails with `message` when an entry of `prices` is below zero (NaN passes). A search
// against a negative price gains without bound and never ends.
void refuse_negative(const View1& prices, const char* message);

// Fails with "prices of pricing model I has shape (s,) but at least (n,) is required" when
// a model has fewer than `n` prices (one per kind).
void require_model_prices(std::span<const PricingModel> models, std::size_t n);

// Stable order of `models` by their key: the permutation to apply to the models and to
// anything attached to them (search ranges, for example).
std::vector<std::size_t> sorted_order(std::span<const PricingModel> models);

template <class T>
std::vector<T> permuted(const std::vector<T>& items, const std::vector<std::size_t>& order) {
    std::vector<T> out;
    out.reserve(order.size());
    for (std::size_t i : order) out.push_back(items[i]);
    return out;
}

struct Period {
    double hours;  // hours per row: 24 for days, 1 for hours
    bool daily;
};
// "D" or "H"; fails with "provide a valid period string : either D or H".
Period parse_period(std::string_view code);

// "1Y" or "3Y"; fails with "Not a valid period, provide 3Y or 1Y".
Term parse_horizon(std::string_view code);

}  // namespace velmar
