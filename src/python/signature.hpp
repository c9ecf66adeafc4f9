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
#include <type_traits>
#include <variant>
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

// A converted argument: alternative 1 + k holds an argument of ArgKind k (alternative 0 is
// the empty slot before conversion).
using Value = std::variant<std::monostate, View1, View2, View3, ViewN, std::string_view, std::vector<std::string_view>,
                           std::uint64_t, std::optional<bool>, std::optional<double>, std::optional<View1>>;

// The C++ type an argument of kind K is converted to.
template <ArgKind K>
using Converted = std::variant_alternative_t<static_cast<std::size_t>(K) + 1, Value>;
static_assert(std::variant_size_v<Value> == static_cast<std::size_t>(ArgKind::array1_or_none) + 2 &&
                  std::is_same_v<Converted<ArgKind::array_any>, ViewN> &&
                  std::is_same_v<Converted<ArgKind::text_list>, std::vector<std::string_view>> &&
                  std::is_same_v<Converted<ArgKind::array1_or_none>, std::optional<View1>>,
              "Value lists one alternative per ArgKind, in the order of ArgKind");

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
