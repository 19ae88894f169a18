// Buffered access to a file through its descriptor: FileWriter appends what a
// ByteWriter encodes and hashes it on the way; FileReader decodes a stretch of
// the file front to back with every count checked against what is left. The
// file is named in failures by a noun and its path ("state file '<path>'").
// Owned by the thread that reads or writes; the caller owns the descriptor.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "util/byte_writer.hpp"
#include "util/hash.hpp"

namespace synaptor {

inline constexpr std::size_t kFileBufferSize = std::size_t{4} << 20;

/// Writes all `n` bytes at the descriptor's position, retrying what the
/// system cut short; a refusal is io_failure("cannot write <noun>", path).
void write_all(int fd, const std::string& path, const std::string& noun, const unsigned char* data,
               std::size_t n);

/// Writes all `n` bytes at `offset` without moving the descriptor.
void write_all_at(int fd, const std::string& path, const std::string& noun,
                  const unsigned char* data, std::size_t n, std::uint64_t offset);

/// Reads `n` bytes at `offset`; false when the file ends first.
bool read_at(int fd, const std::string& path, const std::string& noun, std::uint64_t offset,
             unsigned char* data, std::size_t n);

/// Appends a ByteWriter's bytes to the file and keeps their hash and length.
class FileWriter final : public ByteDrain {
public:
    FileWriter(int fd, const std::string& path, std::string noun)
        : fd_(fd), path_(path), noun_(std::move(noun)), out_(*this, kFileBufferSize) {}

    ByteWriter& out() { return out_; }
    /// Writes what is buffered; length() and content_hash() then count it.
    void flush() { out_.flush(); }
    std::uint64_t length() const { return length_; }
    std::uint64_t content_hash() const { return hash_.digest(); }

    void drain(const unsigned char* data, std::size_t n) override;

private:
    int fd_;
    const std::string& path_;
    std::string noun_;
    ByteWriter out_;
    std::uint64_t length_ = 0;
    StreamHash hash_;
};

/// Reads `length` bytes from `offset` on. A damaged count never makes it
/// allocate or read beyond them; running out is "<noun> is truncated", and
/// a value that cannot be is "<noun> is damaged: <detail>".
class FileReader {
public:
    FileReader(int fd, const std::string& path, std::string noun, std::uint64_t offset,
               std::uint64_t length)
        : fd_(fd),
          path_(path),
          noun_(std::move(noun)),
          buffer_(kFileBufferSize),
          remaining_(length),
          file_offset_(offset) {}

    const unsigned char* take(std::size_t n) {
        if (n > remaining_) truncated();
        if (end_ - pos_ < n) refill(n);
        const unsigned char* p = buffer_.data() + pos_;
        pos_ += n;
        remaining_ -= n;
        return p;
    }
    std::uint8_t u8() { return *take(1); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(get_le(take(4), 4)); }
    std::uint64_t u64() { return get_le(take(8), 8); }
    float f32() { return std::bit_cast<float>(u32()); }
    double f64() { return std::bit_cast<double>(u64()); }
    bool flag() {
        const std::uint8_t v = u8();
        if (v > 1) damaged("a flag is neither 0 nor 1");
        return v == 1;
    }
    /// A presence flag and the value, which must be 0 when absent.
    std::optional<std::uint64_t> optional_u64() {
        const bool present = flag();
        const std::uint64_t v = u64();
        if (!present) {
            if (v != 0) damaged("an absent tick is not 0");
            return std::nullopt;
        }
        return v;
    }
    std::uint64_t varint() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const std::uint8_t b = u8();
            // The tenth byte holds the top bit alone.
            if (shift == 63 && b > 1) damaged("a number exceeds 64 bits");
            v |= std::uint64_t{b & 0x7Fu} << shift;
            if ((b & 0x80) == 0) return v;
        }
        damaged("a number exceeds 64 bits");
    }
    /// A varint count of records of at least `record_size` bytes each.
    std::uint64_t varint_count(std::uint64_t record_size);
    /// A 64-bit count of records of at least `record_size` bytes each.
    std::uint64_t count(std::uint64_t record_size);
    void skip(std::uint64_t n);
    std::uint64_t remaining() const { return remaining_; }

    [[noreturn]] void truncated() const;
    [[noreturn]] void damaged(const std::string& detail) const;

private:
    void refill(std::size_t n);

    int fd_;
    const std::string& path_;
    std::string noun_;
    std::vector<unsigned char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::uint64_t remaining_;
    std::uint64_t file_offset_;
};

}  // namespace synaptor
