#pragma once
// A function's parameters, in one table: the calling frame binds and converts arguments
// by it, the entry unpacks them into the operation by it, and the text signature that
// Python shows is written from it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/array.hpp"

namespace velmar::py {

enum class ArgKind { array1, array2, array3, array_any, text, text_list, count, flag, real, array1_or_none };

struct Param {
    const char* name;
    ArgKind kind;
};

struct Signature {
    const char* name;
    std::span<const Param> params;
    std::size_t required;  // the first `required` parameters
};

// The C++ type an argument of each kind is converted to.
template <ArgKind K>
struct ConvertedType;
template <>
struct ConvertedType<ArgKind::array1> {
    using type = View1;
};
template <>
struct ConvertedType<ArgKind::array2> {
    using type = View2;
};
template <>
struct ConvertedType<ArgKind::array3> {
    using type = View3;
};
template <>
struct ConvertedType<ArgKind::array_any> {
    using type = ViewN;
};
template <>
struct ConvertedType<ArgKind::text> {
    using type = std::string_view;
};
template <>
struct ConvertedType<ArgKind::text_list> {
    using type = std::vector<std::string_view>;
};
template <>
struct ConvertedType<ArgKind::count> {
    using type = std::uint64_t;
};
template <>
struct ConvertedType<ArgKind::flag> {
    using type = std::optional<bool>;
};
template <>
struct ConvertedType<ArgKind::real> {
    using type = std::optional<double>;
};
template <>
struct ConvertedType<ArgKind::array1_or_none> {
    using type = std::optional<View1>;
};
template <ArgKind K>
using Converted = typename ConvertedType<K>::type;

namespace detail {

// Appends `text` at `at` of `out` when there is an `out`; returns the position after it.
constexpr std::size_t put(char* out, std::size_t at, std::string_view text) {
    if (out != nullptr)
        for (char c : text) out[at++] = c;
    else
        at += text.size();
    return at;
}

// Writes "name(a, b, c=None)\n--\n\n" (parameters past the required ones default to None)
// into `out`, or only counts it when `out` is null. Returns the length.
constexpr std::size_t write_text_signature(const Signature& sig, char* out) {
    std::size_t at = put(out, 0, sig.name);
    at = put(out, at, "(");
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (i > 0) at = put(out, at, ", ");
        at = put(out, at, sig.params[i].name);
        if (i >= sig.required) at = put(out, at, "=None");
    }
    return put(out, at, ")\n--\n\n");
}

template <const Signature& Sig>
constexpr auto make_text_signature() {
    std::array<char, write_text_signature(Sig, nullptr) + 1> text{};
    write_text_signature(Sig, text.data());
    return text;
}

}  // namespace detail

// The docstring of a function: its text signature and the separator only, so that Python
// derives __text_signature__ from it and reports __doc__ as None.
template <const Signature& Sig>
inline constexpr auto text_signature = detail::make_text_signature<Sig>();

}  // namespace velmar::py
