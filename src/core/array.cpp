#include "core/array.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace velmar {

std::size_t element_count(std::size_t rows, std::size_t cols) {
    if (cols != 0 && rows > std::numeric_limits<std::size_t>::max() / sizeof(double) / cols) throw std::bad_alloc();
    return rows * cols;
}

View2 with_repeated_rows_folded(const View2& v) {
    if (v.rows < 2 || v.row_stride == 0 || v.cols == 0) return v;
    const std::size_t row_bytes = v.cols * sizeof(double);
    for (std::size_t r = 1; r < v.rows; ++r) {
        if (v.col_stride == 1) {
            if (std::memcmp(v.data + static_cast<Index>(r) * v.row_stride, v.data, row_bytes) != 0) return v;
        } else {
            for (std::size_t c = 0; c < v.cols; ++c)
                if (std::bit_cast<std::uint64_t>(v(r, c)) != std::bit_cast<std::uint64_t>(v(0, c))) return v;
        }
    }
    View2 folded = v;
    folded.row_stride = 0;
    return folded;
}

ColumnMatrix::ColumnMatrix(const View2& v) : ColumnMatrix(v.rows, v.cols) { copy_columns(0, v); }

void ColumnMatrix::copy_columns(std::size_t first, const View2& v) {
    if (v.rows != rows_ || first > cols_ || v.cols > cols_ - first)
        fail("copy of shape " + shape_text({v.rows, v.cols}) + " does not fit at column " + std::to_string(first) +
             " of " + shape_text({rows_, cols_}));
    // Row-major input is transposed a band of rows at a time, so both the rows read and
    // the column runs written stay in cache.
    constexpr std::size_t band = 64;
    for (std::size_t r0 = 0; r0 < rows_; r0 += band) {
        const std::size_t r1 = std::min(rows_, r0 + band);
        for (std::size_t c = 0; c < v.cols; ++c) {
            double* out = column(first + c);
            for (std::size_t r = r0; r < r1; ++r) out[r] = v(r, c);
        }
    }
}

std::string shape_text(std::initializer_list<std::size_t> dims) {
    std::string out = "(";
    bool first = true;
    for (std::size_t d : dims) {
        if (!first) out += ", ";
        out += std::to_string(d);
        first = false;
    }
    if (dims.size() == 1) out += ",";
    return out + ")";
}

void shape_failure(std::string_view name, const std::string& actual, const std::string& requirement,
                   std::source_location where) {
    fail(std::string(name) + " has shape " + actual + " but " + requirement, where);
}

void require_rows(std::string_view name, const View2& v, std::size_t rows) {
    if (v.rows != rows) shape_failure(name, shape_text({v.rows, v.cols}), shape_text({rows, v.cols}) + " is required");
}

void require_cols_at_least(std::string_view name, const View2& v, std::size_t cols) {
    if (v.cols < cols)
        shape_failure(name, shape_text({v.rows, v.cols}),
                      "at least " + std::to_string(cols) + (cols == 1 ? " column" : " columns") + " is required");
}

void require_shape(std::string_view name, const View2& v, std::size_t rows, std::size_t cols) {
    if (v.rows != rows || v.cols != cols)
        shape_failure(name, shape_text({v.rows, v.cols}), shape_text({rows, cols}) + " is required");
}

void require_size(std::string_view name, std::size_t actual, std::size_t expected) {
    if (actual != expected) shape_failure(name, shape_text({actual}), shape_text({expected}) + " is required");
}

void require_size_at_least(std::string_view name, std::size_t actual, std::size_t minimum) {
    if (actual < minimum)
        shape_failure(name, shape_text({actual}), "at least " + shape_text({minimum}) + " is required");
}

void require_price_table(std::string_view name, const View2& v, std::size_t min_rows, std::size_t cols) {
    if (v.rows < min_rows || v.cols != cols)
        shape_failure(
            name, shape_text({v.rows, v.cols}),
            "at least " + std::to_string(min_rows) + " rows of " + std::to_string(cols) + " entries is required");
}

std::uint64_t saturating_level(double v) {
    if (!(v > 0.0)) return 0;                         // NaN, zero and negatives
    constexpr double limit = 18446744073709551616.0;  // 2^64
    if (v >= limit) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

}  // namespace velmar
