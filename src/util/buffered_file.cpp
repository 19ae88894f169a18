#include "util/buffered_file.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/file_error.hpp"

namespace synaptor {

void io_failure(const std::string& what, const std::string& path) {
    const int error_number = errno;
    throw FileError(FileError::Kind::Io, what + " '" + path + "': " + std::strerror(error_number),
                    error_number);
}

void write_all(int fd, const std::string& path, const std::string& noun, const unsigned char* data,
               std::size_t n) {
    while (n > 0) {
        const ssize_t written = ::write(fd, data, n);
        if (written < 0) {
            if (errno == EINTR) continue;
            io_failure("cannot write " + noun, path);
        }
        data += written;
        n -= static_cast<std::size_t>(written);
    }
}

void write_all_at(int fd, const std::string& path, const std::string& noun,
                  const unsigned char* data, std::size_t n, std::uint64_t offset) {
    for (std::size_t done = 0; done < n;) {
        const ssize_t written =
            ::pwrite(fd, data + done, n - done, static_cast<off_t>(offset + done));
        if (written < 0) {
            if (errno == EINTR) continue;
            io_failure("cannot write " + noun, path);
        }
        done += static_cast<std::size_t>(written);
    }
}

bool read_at(int fd, const std::string& path, const std::string& noun, std::uint64_t offset,
             unsigned char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::pread(fd, data, n, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            io_failure("cannot read " + noun, path);
        }
        if (got == 0) return false;
        data += got;
        n -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

void FileWriter::drain(const unsigned char* data, std::size_t n) {
    hash_.update(data, n);
    write_all(fd_, path_, noun_, data, n);
    length_ += n;
}

std::uint64_t FileReader::varint_count(std::uint64_t record_size) {
    const std::uint64_t n = varint();
    if (n > remaining_ / record_size) damaged("a count exceeds the content");
    return n;
}

std::uint64_t FileReader::count(std::uint64_t record_size) {
    const std::uint64_t n = u64();
    if (record_size != 0 && n > remaining_ / record_size) damaged("a count exceeds the content");
    return n;
}

void FileReader::skip(std::uint64_t n) {
    while (n > 0) {
        const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n, 1 << 16));
        take(step);
        n -= step;
    }
}

void FileReader::truncated() const {
    throw FileError(FileError::Kind::Content, noun_ + " is truncated");
}

void FileReader::damaged(const std::string& detail) const {
    throw FileError(FileError::Kind::Content, noun_ + " is damaged: " + detail);
}

void FileReader::refill(std::size_t n) {
    const std::size_t left = end_ - pos_;
    std::memmove(buffer_.data(), buffer_.data() + pos_, left);
    pos_ = 0;
    end_ = left;
    // What the file still holds beyond the buffer.
    const std::uint64_t unread = remaining_ - left;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - left, unread));
    if (!read_at(fd_, path_, noun_, file_offset_, buffer_.data() + end_, want)) truncated();
    file_offset_ += want;
    end_ += want;
    if (end_ < n) truncated();
}

}  // namespace synaptor
