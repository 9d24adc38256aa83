#include <gtest/gtest.h>
#include <malloc.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "shader_utils.h"

TEST(FileRead, WholeFilesUpToSixteenMebibytesAndCleanFailures)
{
    std::string path = testing::TempDir() + "quorvel-file-read";
    for (auto [size, kept] : {std::pair<size_t, size_t>{0, 0}, {8192, 8192}, {8193, 8193},
                              {3 * 8192 + 5, 3 * 8192 + 5}, {16777216 + 8192 + 3, 16777216}}) {
        std::string content(size, 'q');
        for (size_t i = 0; i < size; i += 7)
            content[i] = char('a' + i % 23);
        std::ofstream(path, std::ios::binary) << content;
        char *buffer = file_read(path.c_str());
        ASSERT_TRUE(buffer) << size;
        EXPECT_EQ(buffer[kept], '\0') << size;
        EXPECT_EQ(std::string(buffer, kept), content.substr(0, kept)) << size;
        free(buffer);
    }
    free(file_read("/"));  // glibc keeps some memory from the first call on
    size_t in_use = mallinfo2().uordblks;
    errno = 0;
    EXPECT_EQ(file_read("/nonexistent/quorvel"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(file_read("/"), nullptr);
    size_t after = mallinfo2().uordblks;  // before the checks below allocate their messages
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(after, in_use);  // the buffer of the failed read is gone
}
