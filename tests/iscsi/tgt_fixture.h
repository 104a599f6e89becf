// A test with a tgtd of its own, started before the test and stopped after it; the test skips,
// saying why, where tgt is not installed.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "tgt_daemon.h"

namespace tgt {

template <typename Base = ::testing::Test>
class WithTgt : public Base {
protected:
    void SetUp() override
    {
        const std::string missing = Daemon::Missing();
        if (!missing.empty()) {
            GTEST_SKIP() << missing;
        }
        ASSERT_TRUE(daemon_.Start()) << daemon_.error();
    }
    // Whether the test may go on after this class's SetUp.
    bool Started() const { return !this->IsSkipped() && !this->HasFatalFailure(); }

    Daemon daemon_;
};

}  // namespace tgt
