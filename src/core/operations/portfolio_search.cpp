#include "core/operations/portfolio_search.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <string>

#include "core/runtime/random.hpp"

namespace velmar {

Matrix own_prices(const View2& prices, std::size_t n) {
    require_shape("prices", prices, prices.rows, n);
    Matrix out(prices.rows, n);
    for (std::size_t r = 0; r < prices.rows; ++r)
        for (std::size_t k = 0; k < n; ++k) out(r, k) = prices(r, k);
    return out;
}

double nan_skipping_max(double current, double candidate) { return candidate > current ? candidate : current; }

SearchPortfolio parse_search_portfolio(std::span<const std::string_view> names, const Matrix& prices,
                                       const View2& current_sp, std::size_t periods, const RangesFor& ranges_for) {
    std::vector<PricingModel> models;
    std::size_t paid = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        PricingModel m = parse_model_name(names[i], true);
        if (i >= prices.rows())
            shape_failure("prices", shape_text({prices.rows(), prices.cols()}),
                          "at least " + std::to_string(i + 1) + " rows are required for the pricing models");
        refuse_repeat(models, m, names[i], true);
        m.prices = prices.view().row(i);
        refuse_negative(m.prices, "prices must not be negative");
        if (m.kind == ModelKind::savings_plan && m.term == Term::already_paid) {
            require_rows("current_sp_commitments", current_sp, periods);
            require_cols_at_least("current_sp_commitments", current_sp, paid + 1);
            m.levels = {current_sp.data + static_cast<Index>(paid) * current_sp.col_stride, periods, 1,
                        current_sp.row_stride, current_sp.col_stride};
            ++paid;
        }
        models.push_back(m);
    }
    SearchPortfolio out;
    out.models = permuted(models, sorted_order(models));
    for (const PricingModel& m : out.models) {
        if (!m.is_new_commitment()) continue;
        const std::vector<Range> ranges = ranges_for(m);
        out.ranges.insert(out.ranges.end(), ranges.begin(), ranges.end());
    }
    return out;
}

Matrix starting_points(std::span<const Range> ranges, std::uint64_t n_starts) {
    // One column per start plus the all-zero point; a count that cannot be stored is
    // a request for more memory than exists.
    if (n_starts >= std::numeric_limits<std::size_t>::max() / std::max<std::size_t>(ranges.size(), 1))
        throw std::bad_alloc();
    Matrix starts(ranges.size(), n_starts + 1);
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        const Uniform draw(ranges[r].low, ranges[r].high);
        for (std::uint64_t j = 0; j < n_starts; ++j) starts(r, j) = draw.draw();
        starts(r, n_starts) = 0.0;
    }
    return starts;
}

}  // namespace velmar
