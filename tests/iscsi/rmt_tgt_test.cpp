// tar and GNU mt on tgt's tape through velmtape-rsh and `velmtape rmt`: the same scenarios as
// on the simulated drive (tests/rmt/programs.sh), on the iSCSI target's logical unit.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "tgt_daemon.h"

namespace {

constexpr int kSkipped = 77;  // programs.sh: a program the scenario needs is missing

class RmtTgt : public ::testing::TestWithParam<const char*> {};

TEST_P(RmtTgt, ProgramsGiveBackTheirArchivesByteForByte)
{
    const std::string missing = tgt::Daemon::Missing();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    tgt::Daemon daemon;
    ASSERT_TRUE(daemon.Start()) << daemon.error();
    const std::string command = "RMT_TARGET='" + daemon.Url(1) + "' " + RMT_PROGRAMS + " " +
                                GetParam() + " " + VELMTAPE_BINARY + " " + VELMTAPE_RSH_BINARY +
                                " 2>&1";
    // NOLINTNEXTLINE(cert-env33-c): the test runs a fixed script of its own
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kSkipped) {
        GTEST_SKIP() << "tar or mt-gnu is not installed";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RmtTgt, ::testing::Values("tar", "append"));

// tgt reports the early warning with the write that reached it (NO SENSE, EOM): as st does,
// that write is taken, the next one answers ENOSPC so the writer can change volumes, and the
// one after it is written again, for a trailer.
TEST(RmtTgtEnd, TheWriteAfterTheEarlyWarningAnswersEnospcOnce)
{
    const std::string missing = tgt::Daemon::Missing();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    tgt::Daemon daemon;
    ASSERT_TRUE(daemon.Start()) << daemon.error();
    char folder[] = "/tmp/velmtape-rmt-tgt-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string in = std::string(folder) + "/in";
    const std::string out = std::string(folder) + "/out";
    {
        constexpr int kBlocks = 1000;  // 10 MB, past the 8 MB image's early warning
        std::ofstream requests(in, std::ios::binary);
        requests << "O" << daemon.Url(1) << "/nst\n1\n";
        const std::string block(10240, 'v');
        for (int i = 0; i < kBlocks; ++i) {
            requests << "W10240\n" << block;
        }
    }
    const std::string command =
        std::string(VELMTAPE_BINARY) + " rmt <" + in + " >" + out + " 2>/dev/null";
    // NOLINTNEXTLINE(cert-env33-c): the test runs a fixed command of its own
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::ifstream replies(out, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(replies),
                           std::istreambuf_iterator<char>()};
    std::system(("rm -rf " + std::string(folder)).c_str());  // NOLINT(cert-env33-c)
    const std::string refused =
        "E28\nNo space left on device: the tape is at its end; this write was refused so the "
        "writer can change volumes, the next one is written\n";
    const size_t first = text.find('E');
    ASSERT_NE(first, std::string::npos) << "no write reached the early warning";
    ASSERT_GT(first, 0u);
    EXPECT_EQ(text.substr(first - 7, 7), "A10240\n");
    EXPECT_EQ(text.substr(first, refused.size()), refused);
    EXPECT_EQ(text.substr(first + refused.size(), 7), "A10240\n");
}

}  // namespace
