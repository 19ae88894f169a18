// Result of an operation that can fail on user input: a value or an error text.
// Error texts are the exact messages users see; callers pass them on unchanged.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace synaptor {

struct ErrorText {
    std::string text;
};

inline ErrorText error_text(std::string text) { return ErrorText{std::move(text)}; }

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(ErrorText error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }

    const std::string& error() const { return std::get<1>(v_).text; }

private:
    std::variant<T, ErrorText> v_;
};

/// Success without a value, or an error text.
using Status = Result<std::monostate>;
inline Status ok_status() { return Status(std::monostate{}); }

}  // namespace synaptor
