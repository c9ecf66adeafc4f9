#include "core/operations/finalise_results.hpp"

#include <algorithm>
#include <string>

namespace velmar {

namespace {

std::vector<std::uint64_t>& entry(FinalResults& r, const char* key, std::size_t n, bool replace) {
    auto it = std::find_if(r.commitments.begin(), r.commitments.end(), [&](const auto& e) { return e.first == key; });
    if (it == r.commitments.end()) {
        r.commitments.emplace_back(key, std::vector<std::uint64_t>(n + 1, 0));
        return r.commitments.back().second;
    }
    if (replace) it->second.assign(n + 1, 0);
    return it->second;
}

}  // namespace

FinalResults finalise_results(Results run, std::span<const PricingModel> models, bool has_step, double coverage,
                              double underutilisation, double step) {
    FinalResults out;
    out.n_iter = run.n_iter;
    out.minimum = run.minimum;
    out.coverage = coverage;
    out.underutilization_cost = underutilisation;
    if (has_step) out.step_size = step;
    out.convergence = std::move(run.convergence);

    const std::vector<std::uint64_t>& argmin = run.argmin;
    std::size_t u = 0;
    for (const PricingModel& m : models) {
        if (!m.is_new_commitment()) continue;
        const std::size_t n = m.prices.size;
        const std::size_t taken = m.parameter_count(n);
        require_size_at_least("argmin", argmin.size(), u + taken);
        const char* key = m.term == Term::one_year ? one_year_key : three_years_key;
        if (m.kind == ModelKind::reserved) {
            std::vector<std::uint64_t>& w = entry(out, key, n, true);
            std::copy(argmin.begin() + static_cast<Index>(u), argmin.begin() + static_cast<Index>(u + n),
                      w.begin() + 1);
        } else {
            entry(out, key, n, false)[0] = argmin[u];
        }
        u += taken;
    }
    return out;
}

}  // namespace velmar
