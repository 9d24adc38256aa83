#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "shader_utils.h"
#include "temp_dir.h"

namespace {

struct Freed {
    void operator()(char *p) const { free(p); }
};
using Buffer = std::unique_ptr<char, Freed>;

// Writes `content`, reads it back and checks the bytes and the NUL after them.
void expect_read_back(const std::string &content, size_t expected_length)
{
    TempDir dir;
    Buffer buffer(file_read(dir.write("f", content).c_str()));
    ASSERT_TRUE(buffer);
    ASSERT_EQ(buffer.get()[expected_length], '\0');
    EXPECT_EQ(std::string(buffer.get(), expected_length), content.substr(0, expected_length));
}

std::string bytes(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char('a' + i % 23);
    return s;
}

}  // namespace

TEST(FileRead, EmptyFileIsALoneNul)
{
    expect_read_back("", 0);
}

TEST(FileRead, BlockSizedFilesComeBackWhole)
{
    expect_read_back(bytes(8192), 8192);
    expect_read_back(bytes(8193), 8193);
    expect_read_back(bytes(3 * 8192 + 5), 3 * 8192 + 5);
}

TEST(FileRead, FilesOverSixteenMebibytesAreCut)
{
    expect_read_back(bytes(16777216 + 8192 + 3), 16777216);
}

TEST(FileRead, MissingFileOrDirectoryIsNullWithErrno)
{
    errno = 0;
    EXPECT_EQ(file_read("/nonexistent/quorvel"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    TempDir dir;
    EXPECT_EQ(file_read(dir.path.c_str()), nullptr);
    EXPECT_EQ(errno, EISDIR);
}
