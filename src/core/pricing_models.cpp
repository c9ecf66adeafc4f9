#include "core/pricing_models.hpp"

#include <algorithm>
#include <numeric>
#include <string>

namespace velmar {

std::size_t PricingModel::parameter_count(std::size_t n_kinds) const {
    if (!is_new_commitment()) return 0;
    return kind == ModelKind::reserved ? n_kinds : 1;
}

int order_key(const PricingModel& m) {
    if (m.kind == ModelKind::on_demand) return 6;
    const int base = m.kind == ModelKind::reserved ? 0 : 3;
    switch (m.term) {
        case Term::already_paid:
            return base;
        case Term::three_years:
            return base + 1;
        case Term::one_year:
            return base + 2;
    }
    return base + 2;
}

std::size_t duration(Term term, bool daily) {
    const std::size_t days = term == Term::one_year ? 365 : 1095;
    return daily ? days : days * 24;
}

std::size_t parameter_count(std::span<const PricingModel> models, std::size_t n_kinds) {
    std::size_t p = 0;
    for (const PricingModel& m : models) p += m.parameter_count(n_kinds);
    return p;
}

PricingModel parse_model_name(std::string_view name, bool allow_paid) {
    PricingModel m;
    if (name == "RI1Y" || name == "RI3Y") {
        m.kind = ModelKind::reserved;
        m.term = name == "RI1Y" ? Term::one_year : Term::three_years;
    } else if (name == "OD") {
        m.kind = ModelKind::on_demand;
    } else if (allow_paid && name.find("payed_") != std::string_view::npos) {
        m.kind = ModelKind::savings_plan;
        m.term = Term::already_paid;
    } else if (name == "SP1Y" || name == "SP3Y") {
        m.kind = ModelKind::savings_plan;
        m.term = name == "SP1Y" ? Term::one_year : Term::three_years;
    } else {
        fail("Not a known pricing model");
    }
    return m;
}

void refuse_repeat(std::span<const PricingModel> earlier, const PricingModel& model, std::string_view name,
                   bool unique_commitments) {
    const bool must_be_unique = model.kind == ModelKind::on_demand || (unique_commitments && model.is_new_commitment());
    if (!must_be_unique) return;
    for (const PricingModel& m : earlier)
        if (m.kind == model.kind && (m.kind == ModelKind::on_demand || m.term == model.term))
            fail("pricing model listed twice: " + std::string(name));
}

void refuse_negative(const View1& prices, const char* message) {
    for (std::size_t k = 0; k < prices.size; ++k)
        if (prices[k] < 0.0) fail(message);
}

void require_model_prices(std::span<const PricingModel> models, std::size_t n) {
    for (std::size_t i = 0; i < models.size(); ++i)
        require_size_at_least("prices of pricing model " + std::to_string(i), models[i].prices.size, n);
}

std::vector<std::size_t> sorted_order(std::span<const PricingModel> models) {
    std::vector<std::size_t> order(models.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return models[a] < models[b]; });
    return order;
}

Period parse_period(std::string_view code) {
    if (code == "D") return {24.0, true};
    if (code == "H") return {1.0, false};
    fail("provide a valid period string : either D or H");
}

Term parse_horizon(std::string_view code) {
    if (code == "1Y") return Term::one_year;
    if (code == "3Y") return Term::three_years;
    fail("Not a valid period, provide 3Y or 1Y");
}

}  // namespace velmar
