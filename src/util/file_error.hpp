// The failure of a file that cannot be written or read: raised by the
// buffered file access and the decoders that read through it, on the thread
// that reads or writes, and caught by the caller of the whole operation.
#pragma once

#include <stdexcept>
#include <string>

namespace synaptor {

/// `Io`: the system refused (errno in error_number()); `Content`: the bytes
/// are not what the reader can take.
class FileError : public std::runtime_error {
public:
    enum class Kind { Io, Content };
    FileError(Kind kind, const std::string& text, int error_number = 0)
        : std::runtime_error(text), kind_(kind), error_number_(error_number) {}
    Kind kind() const { return kind_; }
    int error_number() const { return error_number_; }

private:
    Kind kind_;
    int error_number_;
};

/// A FileError of kind Io with errno's text: "<what> '<path>': <reason>".
[[noreturn]] void io_failure(const std::string& what, const std::string& path);

}  // namespace synaptor
