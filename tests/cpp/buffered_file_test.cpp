// FileWriter and FileReader: what a ByteWriter encodes reads back the same
// through a real file, buffer refills change no byte, and each kind of damage
// or shortage is refused with its own text.
#include "util/buffered_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "byte_test_support.hpp"
#include "util/byte_writer.hpp"
#include "util/file_error.hpp"
#include "util/hash.hpp"

namespace synaptor {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::every_kind;
using test::kVarints;

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

}  // namespace
}  // namespace synaptor
