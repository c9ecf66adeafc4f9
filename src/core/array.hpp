#pragma once
// Borrowed read-only strided views of caller data and owned contiguous arrays.
// Strides are in elements and may be negative or zero (zero broadcasts one value).

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.hpp"

namespace velmar {

using Index = std::ptrdiff_t;

struct View1 {
    const double* data = nullptr;
    std::size_t size = 0;
    Index stride = 1;

    double operator[](std::size_t i) const { return data[static_cast<Index>(i) * stride]; }
};

struct View2 {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    Index row_stride = 0;
    Index col_stride = 1;

    double operator()(std::size_t r, std::size_t c) const {
        return data[static_cast<Index>(r) * row_stride + static_cast<Index>(c) * col_stride];
    }
    View1 row(std::size_t r) const { return {data + static_cast<Index>(r) * row_stride, cols, col_stride}; }
    View1 col(std::size_t c) const { return {data + static_cast<Index>(c) * col_stride, rows, row_stride}; }
};

struct View3 {
    const double* data = nullptr;
    std::size_t shape[3] = {0, 0, 0};
    Index strides[3] = {0, 0, 0};

    View2 slice(std::size_t s) const {
        return {data + static_cast<Index>(s) * strides[0], shape[1], shape[2], strides[1], strides[2]};
    }
};

// Any number of dimensions; the frame hands this for arguments whose rank is decided later.
struct ViewN {
    const double* data = nullptr;
    std::vector<std::size_t> shape;
    std::vector<Index> strides;

    std::size_t ndim() const { return shape.size(); }
    View1 as_1d() const { return {data, shape.at(0), strides.at(0)}; }
    View2 as_2d() const { return {data, shape.at(0), shape.at(1), strides.at(0), strides.at(1)}; }
};

// rows x cols, or std::bad_alloc when the product does not fit in memory's address range.
std::size_t element_count(std::size_t rows, std::size_t cols);

// Owned T x n matrix stored column by column: one contiguous run of T periods per column.
// This is the layout every hot loop reads, so per-period quantities of all periods
// of one column advance together.
class ColumnMatrix {
public:
    ColumnMatrix() = default;
    ColumnMatrix(std::size_t rows, std::size_t cols)
        : rows_(rows), cols_(cols), data_(element_count(rows, cols), 0.0) {}
    explicit ColumnMatrix(const View2& v);

    // Copies v into columns first .. first + v.cols - 1; v has this matrix's row count.
    void copy_columns(std::size_t first, const View2& v);
    // Columns first .. first + count - 1 as a view.
    View2 columns(std::size_t first, std::size_t count) const {
        return {data_.data() + first * rows_, rows_, count, 1, static_cast<Index>(rows_)};
    }

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    double* column(std::size_t c) { return data_.data() + c * rows_; }
    const double* column(std::size_t c) const { return data_.data() + c * rows_; }
    double operator()(std::size_t r, std::size_t c) const { return data_[c * rows_ + r]; }
    View2 view() const { return {data_.data(), rows_, cols_, 1, static_cast<Index>(rows_)}; }
    operator View2() const { return view(); }  // NOLINT: a column-major matrix is a view

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<double> data_;
};

// Owned row-major matrix, for small matrices built by the operations (start points, samples).
class Matrix {
public:
    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(element_count(rows, cols), 0.0) {}

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    double& operator()(std::size_t r, std::size_t c) { return data_[r * cols_ + c]; }
    double operator()(std::size_t r, std::size_t c) const { return data_[r * cols_ + c]; }
    double* data() { return data_.data(); }
    const double* data() const { return data_.data(); }
    View2 view() const { return {data_.data(), rows_, cols_, static_cast<Index>(cols_), 1}; }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<double> data_;
};

// `v` read as its first row repeated in every row when every row holds the same bits as
// the first (a plan tiled over the periods, as callers pass one); otherwise `v` itself.
// The values read are the same either way, so figures computed from it keep their bits.
View2 with_repeated_rows_folded(const View2& v);

std::string shape_text(std::initializer_list<std::size_t> dims);

// Fails with "NAME has shape ACTUAL but REQUIREMENT", as in "prices has shape (2, 3) but
// (3, 3) is required".
[[noreturn]] void shape_failure(std::string_view name, const std::string& actual, const std::string& requirement,
                                std::source_location where = std::source_location::current());

// Shape checks: every array is checked before its first read. The message names the
// argument and both shapes.
void require_rows(std::string_view name, const View2& v, std::size_t rows);
void require_cols_at_least(std::string_view name, const View2& v, std::size_t cols);
void require_shape(std::string_view name, const View2& v, std::size_t rows, std::size_t cols);
void require_size(std::string_view name, std::size_t actual, std::size_t expected);
void require_size_at_least(std::string_view name, std::size_t actual, std::size_t minimum);
// A price table: at least `min_rows` rows of exactly `cols` entries.
void require_price_table(std::string_view name, const View2& v, std::size_t min_rows, std::size_t cols);

// Float -> unsigned level. NaN and negatives give 0, values beyond the range give the
// largest level; a plain cast would be undefined behaviour there.
std::uint64_t saturating_level(double v);

}  // namespace velmar
