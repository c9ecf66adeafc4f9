#pragma once
// Every error the core detects is an InternalFailure: a fixed message plus the place
// in the source that raised it. Only the calling frame catches it.

#include <exception>
#include <source_location>
#include <string>

namespace velmar {

class InternalFailure : public std::exception {
public:
    InternalFailure(std::string message, std::source_location where) : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Throws the failure; the default argument records the caller's place in the source.
[[noreturn]] inline void fail(std::string message, std::source_location where = std::source_location::current()) {
    throw InternalFailure(std::move(message), where);
}

}  // namespace velmar
