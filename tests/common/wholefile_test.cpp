// wholefile::File on real files: the hidden name, the rename when whole,
// nothing left behind otherwise, and each failure said once, naming the file.

#include "common/wholefile.h"
#include "testkit/support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::filesIn;

class WholeFileTest : public ::testing::Test {
protected:
    testsupport::RunDir dir;
    const std::string out = dir.root() + "/run";
    std::string error;
};

TEST_F(WholeFileTest, BytesGoToAHiddenNameAndReachTheTargetOnlyWhenCommitted)
{
    const std::string target = out + "/show.fseq";
    wholefile::File file;
    ASSERT_TRUE(file.create(target, error)) << error;
    const std::string hidden = fs::path(file.path()).filename();
    EXPECT_TRUE(hidden.starts_with(".show-") && hidden.ends_with(".fseq") && hidden.size() == 17) << hidden;
    ASSERT_TRUE(file.write("PSEQ", 4, error)) << error;
    EXPECT_EQ(filesIn(out), std::vector<std::string>{hidden}) << "no target before the commit";
    ASSERT_TRUE(file.commit(error)) << error;
    EXPECT_EQ(filesIn(out), std::vector<std::string>{"show.fseq"});
    EXPECT_EQ(testsupport::readFile(target), "PSEQ");
}

TEST_F(WholeFileTest, FileNotCommittedIsRemoved)
{
    {
        wholefile::File file;
        ASSERT_TRUE(file.create(out + "/show.h", error)) << error;
        ASSERT_TRUE(file.write("#define", 7, error)) << error;
    }
    EXPECT_EQ(filesIn(out), std::vector<std::string>{});
}

TEST_F(WholeFileTest, NameWithoutAnEndingIsRefusedWithAMessage)
{
    for (const std::string& target : {out + "/show", std::string("show"), dir.root() + "/run.d/show"}) {
        SCOPED_TRACE(target);
        wholefile::File file;
        EXPECT_FALSE(file.create(target, error));
        EXPECT_EQ(error, "cannot make " + target + ": its name has no ending, such as .gif, to tell its format");
    }
    EXPECT_EQ(filesIn(out), std::vector<std::string>{});
}

TEST_F(WholeFileTest, MissingDirectoryIsSaidOnceNamingTheTarget)
{
    wholefile::File file;
    const std::string target = out + "/missing/show.bin";
    EXPECT_FALSE(file.create(target, error));
    EXPECT_EQ(error, "cannot make " + target + ": No such file or directory");
}

// /dev/full takes no byte: a disk that is full. A device is written in
// place, never replaced by a regular file.
TEST_F(WholeFileTest, FullDiskIsSaidOnceNamingTheTargetAndLeavesTheDevice)
{
    const std::string target = out + "/full.bin";
    fs::create_symlink("/dev/full", target);
    wholefile::File file;
    ASSERT_TRUE(file.create(target, error)) << error;
    EXPECT_FALSE(file.write("frame", 5, error));
    EXPECT_EQ(error, "cannot write " + target + ": No space left on device");
    file.remove();
    EXPECT_TRUE(fs::is_symlink(target));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST_F(WholeFileTest, NamedPipeIsWrittenInPlace)
{
    const std::string target = out + "/show.bin";
    ASSERT_EQ(::mkfifo(target.c_str(), 0600), 0);
    // A reader that takes whatever comes, opened first so that the writer's
    // open does not wait.
    const int reader = ::open(target.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    wholefile::File file;
    ASSERT_TRUE(file.create(target, error)) << error;
    EXPECT_EQ(file.path(), target);
    ASSERT_TRUE(file.write("abc", 3, error)) << error;
    ASSERT_TRUE(file.commit(error)) << error;
    char got[4] = {};
    EXPECT_EQ(::read(reader, got, sizeof got), 3);
    EXPECT_STREQ(got, "abc");
    ::close(reader);
    EXPECT_TRUE(fs::is_fifo(target));
}

}  // namespace
