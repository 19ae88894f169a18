// Little-endian encoding of fixed-width values and varints into a buffer:
// kept in memory (a hash's input) or handed in pieces to a drain (a file).
// The one encoder of the tree; its decoding twin for files is FileReader
// (util/buffered_file.hpp). Owned by the thread that encodes.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace synaptor {

inline void put_le(unsigned char* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline std::uint64_t get_le(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= std::uint64_t{p[i]} << (8 * i);
    return v;
}

/// Where a ByteWriter's full buffers go.
class ByteDrain {
public:
    virtual void drain(const unsigned char* data, std::size_t n) = 0;

protected:
    ~ByteDrain() = default;
};

class ByteWriter {
public:
    /// Keeps every byte in memory: see data() and size().
    ByteWriter() = default;
    /// Hands the bytes to `drain` in pieces of at most `capacity` bytes, on
    /// flush() and whenever the buffer is full.
    ByteWriter(ByteDrain& drain, std::size_t capacity) : drain_(&drain), buffer_(capacity) {}

    /// `n` bytes to write into, at most 16 at a time.
    unsigned char* room(std::size_t n) {
        if (used_ + n > buffer_.size()) make_room(n);
        unsigned char* p = buffer_.data() + used_;
        used_ += n;
        return p;
    }
    void u8(std::uint8_t v) { *room(1) = v; }
    void u32(std::uint32_t v) { put_le(room(4), v, 4); }
    void u64(std::uint64_t v) { put_le(room(8), v, 8); }
    void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void flag(bool v) { u8(v ? 1 : 0); }
    /// A presence flag and the value, 0 when absent.
    void optional_u64(const std::optional<std::uint64_t>& v) {
        flag(v.has_value());
        u64(v.value_or(0));
    }
    /// Seven bits a byte, low first; the top bit marks a byte that follows.
    void varint(std::uint64_t v) {
        unsigned char* b = room(10);
        std::size_t n = 0;
        while (v >= 0x80) {
            b[n++] = static_cast<unsigned char>(v | 0x80);
            v >>= 7;
        }
        b[n++] = static_cast<unsigned char>(v);
        used_ -= 10 - n;
    }

    /// `n` bytes as they stand.
    void bytes(const unsigned char* data, std::size_t n) {
        while (n > 0) {
            if (used_ == buffer_.size()) make_room(1);
            const std::size_t chunk = std::min(n, buffer_.size() - used_);
            std::copy_n(data, chunk, buffer_.data() + used_);
            used_ += chunk;
            data += chunk;
            n -= chunk;
        }
    }

    /// Hands what is buffered to the drain; nothing without one.
    void flush() {
        if (drain_ == nullptr) return;
        drain_->drain(buffer_.data(), used_);
        used_ = 0;
    }
    /// Without a drain: overwrites the 8 bytes at `at` (written before).
    void patch_u64(std::size_t at, std::uint64_t v) { put_le(buffer_.data() + at, v, 8); }
    /// Without a drain: everything written so far.
    const unsigned char* data() const { return buffer_.data(); }
    std::size_t size() const { return used_; }

private:
    void make_room(std::size_t n) {
        flush();
        if (used_ + n > buffer_.size()) buffer_.resize(std::max(2 * buffer_.size(), used_ + n));
    }

    ByteDrain* drain_ = nullptr;
    std::vector<unsigned char> buffer_;
    std::size_t used_ = 0;
};

}  // namespace synaptor
