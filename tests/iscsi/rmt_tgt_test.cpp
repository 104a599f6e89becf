// tar and GNU mt on tgt's tape through velmtape-rsh and `velmtape rmt`: the same scenarios as
// on the simulated drive (tests/rmt/programs.sh), on the iSCSI target's logical unit.
#include <sys/wait.h>

#include <cstdlib>
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

}  // namespace
