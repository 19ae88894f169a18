// Internal failures: a broken invariant or a failed internal expectation.
// A panic carries its text. Worker thread functions catch it, write it to
// standard error and end; the Python binding raises PanicException with it.
// It never crosses a thread boundary or a CPython entry point.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace synaptor {

class Panic : public std::exception {
public:
    explicit Panic(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

[[noreturn]] inline void panic(std::string text) { throw Panic(std::move(text)); }

/// Checks an internal expectation; a violation is a panic with the given text.
inline void expect(bool condition, const char* text) {
    if (!condition) panic(text);
}

}  // namespace synaptor
