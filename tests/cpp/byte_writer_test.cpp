#include "util/byte_writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "byte_test_support.hpp"

namespace synaptor {
namespace {

using test::Bytes;
using test::every_kind;
using test::kVarints;

TEST(ByteWriter, WritesLittleEndianAndVarintsOfSevenBitsAByte) {
    const Bytes bytes = every_kind();
    EXPECT_EQ(bytes[0], 0xAB);
    EXPECT_EQ(Bytes(bytes.begin() + 1, bytes.begin() + 5), (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(bytes[5], 8);
    EXPECT_EQ(bytes[12], 1);
    EXPECT_EQ(Bytes(bytes.begin() + 13, bytes.begin() + 17), (Bytes{0, 0, 0, 0x80}));
    EXPECT_EQ(bytes[24], 0x3F);
    // flag, absent (flag 0 and eight zeros), present 42.
    EXPECT_EQ(bytes[25], 1);
    EXPECT_EQ(Bytes(bytes.begin() + 26, bytes.begin() + 35), Bytes(9, 0));
    EXPECT_EQ(bytes[35], 1);
    EXPECT_EQ(bytes[36], 42);
    std::size_t varint_bytes = 0;
    for (std::size_t expected : {1, 1, 1, 2, 2, 3, 5, 10, 10}) varint_bytes += expected;
    EXPECT_EQ(bytes.size(), 44 + varint_bytes);
    EXPECT_EQ(Bytes(bytes.begin() + 44 + 3, bytes.begin() + 44 + 5), (Bytes{0x80, 0x01}));
    EXPECT_EQ(bytes.back(), 0x01);  // the top bit alone in the tenth byte
}

TEST(ByteWriter, DrainedPiecesMakeTheSameBytesAsMemory) {
    struct Pieces final : ByteDrain {
        Bytes all;
        std::size_t largest = 0;
        void drain(const unsigned char* data, std::size_t n) override {
            all.insert(all.end(), data, data + n);
            largest = std::max(largest, n);
        }
    } pieces;
    ByteWriter drained(pieces, 16);
    ByteWriter memory;
    for (int i = 0; i < 300; ++i) {
        for (ByteWriter* out : {&drained, &memory}) {
            out->varint(kVarints[i % 9]);
            out->u64(static_cast<std::uint64_t>(i) * 0x9E3779B97F4A7C15ull);
            out->f32(static_cast<float>(i) / 7.0f);
        }
    }
    drained.flush();
    EXPECT_LE(pieces.largest, 16u);
    EXPECT_EQ(pieces.all, Bytes(memory.data(), memory.data() + memory.size()));
}

}  // namespace
}  // namespace synaptor
