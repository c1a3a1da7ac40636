// What only the POSIX profile reader needs checked, as Windows has no counterpart to set it up:
// a FIFO reads as a missing file without waiting for a writer, and ".." after a folder that is
// a symbolic link is resolved as text, not by the file system.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/windows_api.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Read(const std::string& file) {
    char szValue[64] = "";
    GetPrivateProfileStringA("S", "k", "dflt", szValue, sizeof(szValue), file.c_str());
    return szValue;
}

TEST(ProfileReaderPosix, FifoReadsAsMissingAtOnce) {
    CTempDir dir;
    ASSERT_EQ(mkfifo(NativePath(dir.File("fifo.ini")).c_str(), 0600), 0);
    EXPECT_EQ(Read(dir.File("fifo.ini")), "dflt");
}

TEST(ProfileReaderPosix, DotDotAfterALinkedFolderIsResolvedAsText) {
    CTempDir dir;
    dir.Write("app\\x.ini", "[S]\nk=beside the link\n");
    dir.Write("real\\x.ini", "[S]\nk=beside the target\n");
    dir.Write("real\\conf\\Mirel.ini", "");
    ASSERT_EQ(symlink(NativePath(dir.File("real\\conf")).c_str(),
                      NativePath(dir.File("app\\conf")).c_str()),
              0);
    EXPECT_EQ(Read(dir.File("app\\conf\\..\\x.ini")), "beside the link");
}

}  // namespace
