// ByteWriter, FileWriter and FileReader: what is written reads back the same
// through a real file, pieces and buffer refills change no byte, and each
// kind of damage or shortage is refused with its own text.
#include "util/buffered_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "util/byte_writer.hpp"
#include "util/file_error.hpp"
#include "util/hash.hpp"

namespace synaptor {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr std::uint64_t kVarints[] = {0,
                                      1,
                                      127,
                                      128,
                                      16383,
                                      16384,
                                      0xFFFFFFFFull,
                                      1ull << 63,
                                      std::numeric_limits<std::uint64_t>::max()};

class BufferedFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = (fs::temp_directory_path() /
                 ("synaptor-buffered-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                    .string();
    }
    void TearDown() override {
        if (fd_ >= 0) ::close(fd_);
        fs::remove(path_);
    }
    /// A file holding `bytes`, opened for reading.
    FileReader reader_of(const Bytes& bytes) {
        const int out = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        write_all(out, path_, "test file", bytes.data(), bytes.size());
        ::close(out);
        fd_ = ::open(path_.c_str(), O_RDONLY);
        return FileReader(fd_, path_, "test file", 0, bytes.size());
    }
    /// The text of the failure reading `bytes` with `read` gives.
    template <class Read>
    std::string refusal(const Bytes& bytes, Read read) {
        FileReader in = reader_of(bytes);
        try {
            read(in);
        } catch (const FileError& failure) {
            EXPECT_EQ(failure.kind(), FileError::Kind::Content);
            return failure.what();
        }
        return "accepted";
    }

    std::string path_;
    int fd_ = -1;
};

Bytes every_kind() {
    ByteWriter out;
    out.u8(0xAB);
    out.u32(0x01020304u);
    out.u64(0x0102030405060708ull);
    out.f32(-0.0f);
    out.f64(1.5);
    out.flag(true);
    out.optional_u64(std::nullopt);
    out.optional_u64(42);
    for (std::uint64_t v : kVarints) out.varint(v);
    return Bytes(out.data(), out.data() + out.size());
}

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

TEST_F(BufferedFileTest, ReadsBackEveryKindThroughAFile) {
    FileReader in = reader_of(every_kind());
    EXPECT_EQ(in.u8(), 0xAB);
    EXPECT_EQ(in.u32(), 0x01020304u);
    EXPECT_EQ(in.u64(), 0x0102030405060708ull);
    EXPECT_TRUE(std::signbit(in.f32()));
    EXPECT_EQ(in.f64(), 1.5);
    EXPECT_TRUE(in.flag());
    EXPECT_EQ(in.optional_u64(), std::nullopt);
    EXPECT_EQ(in.optional_u64(), std::optional<std::uint64_t>(42));
    for (std::uint64_t v : kVarints) EXPECT_EQ(in.varint(), v);
    EXPECT_EQ(in.remaining(), 0u);
}

TEST_F(BufferedFileTest, WriterCountsAndHashesWhatReachesTheFileAcrossRefills) {
    // More than one buffer, so that both sides cross a buffer's end.
    const std::uint64_t n = kFileBufferSize / 8 + 1000;
    const int out = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FileWriter writer(out, path_, "test file");
    for (std::uint64_t i = 0; i < n; ++i) writer.out().u64(i * 3);
    writer.out().u8(7);
    writer.flush();
    ::close(out);
    EXPECT_EQ(writer.length(), n * 8 + 1);
    EXPECT_EQ(fs::file_size(path_), n * 8 + 1);

    fd_ = ::open(path_.c_str(), O_RDONLY);
    Bytes file(n * 8 + 1);
    ASSERT_TRUE(read_at(fd_, path_, "test file", 0, file.data(), file.size()));
    EXPECT_EQ(writer.content_hash(), hash_memory(file.data(), file.size()));
    FileReader in(fd_, path_, "test file", 0, file.size());
    in.skip(8 * 3);
    for (std::uint64_t i = 3; i < n; ++i) ASSERT_EQ(in.u64(), i * 3);
    EXPECT_EQ(in.u8(), 7);
}

TEST_F(BufferedFileTest, RefusesDamageAndShortageWithTheirTexts) {
    const std::string damaged = "test file is damaged: ";
    EXPECT_EQ(refusal({2}, [](FileReader& in) { in.flag(); }),
              damaged + "a flag is neither 0 nor 1");
    EXPECT_EQ(refusal({0, 1, 0, 0, 0, 0, 0, 0, 0}, [](FileReader& in) { in.optional_u64(); }),
              damaged + "an absent tick is not 0");
    Bytes eleven(10, 0x80);
    eleven.push_back(0);
    EXPECT_EQ(refusal(eleven, [](FileReader& in) { in.varint(); }),
              damaged + "a number exceeds 64 bits");
    Bytes top(9, 0xFF);
    top.push_back(0x02);  // a 65th bit
    EXPECT_EQ(refusal(top, [](FileReader& in) { in.varint(); }),
              damaged + "a number exceeds 64 bits");
    // Three records of 4 bytes cannot fit in the 4 bytes after the count.
    EXPECT_EQ(refusal({3, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}, [](FileReader& in) { in.count(4); }),
              damaged + "a count exceeds the content");
    EXPECT_EQ(refusal({2, 1, 2, 3}, [](FileReader& in) { in.varint_count(2); }),
              damaged + "a count exceeds the content");
    EXPECT_EQ(refusal({1, 2, 3}, [](FileReader& in) { in.u32(); }), "test file is truncated");
    EXPECT_EQ(refusal({0x80}, [](FileReader& in) { in.varint(); }), "test file is truncated");
    // Right at the limit is accepted.
    EXPECT_EQ(refusal({1, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}, [](FileReader& in) { in.count(4); }),
              "accepted");
}

TEST_F(BufferedFileTest, ShorterFileThanPromisedIsTruncated) {
    // The reader is promised more than the file holds: its first refill
    // finds the end.
    reader_of(Bytes(100, 1));
    FileReader longer(fd_, path_, "test file", 0, 200);
    try {
        longer.u64();
        FAIL() << "read beyond the file";
    } catch (const FileError& failure) {
        EXPECT_EQ(std::string(failure.what()), "test file is truncated");
    }
    FileReader exact(fd_, path_, "test file", 0, 100);
    exact.skip(92);
    EXPECT_EQ(exact.u64(), 0x0101010101010101ull);
}

TEST(StreamHash, PiecesHashAsTheWholeAndTheChecksumCoversHeadAndContent) {
    Bytes data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    StreamHash pieces;
    for (std::size_t at = 0; at < data.size(); at += 37) {
        pieces.update(data.data() + at, std::min<std::size_t>(37, data.size() - at));
    }
    EXPECT_EQ(pieces.digest(), hash_memory(data.data(), data.size()));
    EXPECT_NE(hash_memory(data.data(), 999), hash_memory(data.data(), 1000));

    const std::uint64_t content = hash_memory(data.data() + 32, data.size() - 32);
    const std::uint64_t sum = head_and_content_checksum(data.data(), 32, content);
    EXPECT_NE(head_and_content_checksum(data.data(), 32, content ^ 1), sum);
    data[31] ^= 1;
    EXPECT_NE(head_and_content_checksum(data.data(), 32, content), sum);
}

}  // namespace
}  // namespace synaptor
