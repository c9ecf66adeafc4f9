#pragma once
// The single-plan search's space (`create_space`: where it looks) and steps
// (`create_steps`: how far one move goes). A level vector has n + 1 entries: the
// savings-plan commitment (money per period), then reserved units per kind.

#include <vector>

#include "core/array.hpp"

namespace velmar {

// Plausible values of one level entry; `high` is exclusive when drawing samples.
struct Range {
    double low;
    double high;
};

// One range per level entry. Reserved bounds are the per-kind usage extremes in units per
// hour (m = hours per period); the commitment goes from 0 to the peak savings-plan-priced
// demand of one period. NaN usage is skipped. Prices: at least 2 rows, n columns.
std::vector<Range> create_space(const View2& usage, const View2& prices, double m);

// One move per level entry: `step` money of commitment, or the reserved units of each
// kind whose price over one period is `step`. Prices: at least 3 rows; n is its width.
std::vector<double> create_steps(const View2& prices, double step, double m);

}  // namespace velmar
