// Load, unload, lock, unlock, erase, write marks and the status request.
#include "tests/driver/support.h"

namespace {

using namespace drvtest;
using ::testing::ElementsAre;

struct OneCommandRow {
    const char* name;
    host::Request request;
    ULONG type;   // Operation or Type
    ULONG count;  // WriteMarks only
    BOOLEAN immediate;
    TAPE_STATUS status;
    Bytes cdb;  // empty: nothing is sent
    ULONG timeout;
};

class MediumOperation : public HostFixture, public ::testing::WithParamInterface<OneCommandRow> {
protected:
    TAPE_STATUS RunRow(const OneCommandRow& row)
    {
        switch (row.request) {
        case host::Request::Prepare:
            prepare = TAPE_PREPARE{row.type, row.immediate};
            return Run(row.request, &prepare);
        case host::Request::Erase:
            erase = TAPE_ERASE{row.type, row.immediate};
            return Run(row.request, &erase);
        default:
            marks = TAPE_WRITE_MARKS{row.type, row.count, row.immediate};
            return Run(row.request, &marks);
        }
    }
    TAPE_PREPARE prepare{};
    TAPE_ERASE erase{};
    TAPE_WRITE_MARKS marks{};
};

TEST_P(MediumOperation, SendsOneSixByteCommandOrNothing)
{
    const OneCommandRow& row = GetParam();
    SetCurrentPartition(2);
    Good();
    EXPECT_EQ(RunRow(row), row.status);
    if (row.cdb.empty()) {
        EXPECT_TRUE(target.received().empty());
        EXPECT_THAT(Returned(), ElementsAre(static_cast<int>(row.status)));
    } else {
        ASSERT_EQ(target.received().size(), 1u);
        const auto& sent = target.received()[0];
        EXPECT_EQ(sent.cdb, row.cdb);
        EXPECT_EQ(sent.timeoutSeconds, row.timeout);
        EXPECT_EQ(sent.direction, host::Direction::None);
        EXPECT_EQ(sent.dataLength, 0u);
        EXPECT_THAT(Returned(), ElementsAre(0, 3));
        EXPECT_THAT(RetryWords(), ElementsAre(0u, 0u));
        EXPECT_EQ(Commands().at(0).srbFlags & kDataOut, 0u);
    }
    EXPECT_EQ(CurrentPartition(), 2u);
    EXPECT_TRUE(AllocationSizes().empty());
}

using R = host::Request;
constexpr TAPE_STATUS kSent = TAPE_STATUS_SUCCESS;
constexpr TAPE_STATUS kNotImpl = TAPE_STATUS_NOT_IMPLEMENTED;
constexpr TAPE_STATUS kInvalid = TAPE_STATUS_INVALID_PARAMETER;

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Prepare, MediumOperation,
    ::testing::Values(
        OneCommandRow{"LoadImmediate", R::Prepare, 0, 0, 1, kSent, {0x1B, 0x01, 0, 0, 0x01, 0}, 390},
        OneCommandRow{"Load", R::Prepare, 0, 0, 0, kSent, {0x1B, 0x00, 0, 0, 0x01, 0}, 390},
        OneCommandRow{"LoadImmediateBitZero", R::Prepare, 0, 0, 2, kSent, {0x1B, 0, 0, 0, 1, 0}, 390},
        OneCommandRow{"Unload", R::Prepare, 1, 0, 0, kSent, {0x1B, 0x00, 0, 0, 0x00, 0}, 390},
        OneCommandRow{"UnloadImmediate", R::Prepare, 1, 0, 1, kSent, {0x1B, 0x01, 0, 0, 0, 0}, 390},
        OneCommandRow{"Lock", R::Prepare, 3, 0, 0, kSent, {0x1E, 0x00, 0, 0, 0x01, 0}, 180},
        OneCommandRow{"Unlock", R::Prepare, 4, 0, 0, kSent, {0x1E, 0x00, 0, 0, 0x00, 0}, 180},
        OneCommandRow{"LockImmediate", R::Prepare, 3, 0, 1, kNotImpl, {}, 0},
        OneCommandRow{"UnlockImmediate", R::Prepare, 4, 0, 1, kNotImpl, {}, 0},
        OneCommandRow{"UnlockImmediateTwo", R::Prepare, 4, 0, 2, kNotImpl, {}, 0},
        OneCommandRow{"Tension", R::Prepare, 2, 0, 0, kNotImpl, {}, 0},
        OneCommandRow{"TensionImmediate", R::Prepare, 2, 0, 1, kNotImpl, {}, 0},
        OneCommandRow{"Format", R::Prepare, 5, 0, 0, kNotImpl, {}, 0},
        OneCommandRow{"FormatImmediate", R::Prepare, 5, 0, 1, kNotImpl, {}, 0},
        OneCommandRow{"OperationSix", R::Prepare, 6, 0, 0, kNotImpl, {}, 0},
        OneCommandRow{"OperationHuge", R::Prepare, 0xFFFFFFFFu, 0, 0, kNotImpl, {}, 0}),
    [](const ::testing::TestParamInfo<OneCommandRow>& i) { return std::string(i.param.name); });
// clang-format on

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Erase, MediumOperation,
    ::testing::Values(
        OneCommandRow{"Long", R::Erase, 1, 0, 0, kSent, {0x19, 0x01, 0, 0, 0, 0}, 16500},
        OneCommandRow{"LongImmediate", R::Erase, 1, 0, 1, kSent, {0x19, 0x03, 0, 0, 0, 0}, 16500},
        OneCommandRow{"Short", R::Erase, 0, 0, 0, kNotImpl, {}, 0},
        OneCommandRow{"ShortImmediate", R::Erase, 0, 0, 1, kNotImpl, {}, 0},
        OneCommandRow{"TypeTwo", R::Erase, 2, 0, 0, kNotImpl, {}, 0}),
    [](const ::testing::TestParamInfo<OneCommandRow>& i) { return std::string(i.param.name); });
// clang-format on

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    WriteMarks, MediumOperation,
    ::testing::Values(
        OneCommandRow{"SetmarksImmediate", R::WriteMarks, 0, 2, 1, kSent,
                      {0x10, 0x03, 0x00, 0x00, 0x02, 0x00}, 360},
        OneCommandRow{"Setmarks", R::WriteMarks, 0, 1, 0, kSent,
                      {0x10, 0x02, 0x00, 0x00, 0x01, 0x00}, 360},
        OneCommandRow{"Filemarks258", R::WriteMarks, 1, 258, 0, kSent,
                      {0x10, 0x00, 0x00, 0x01, 0x02, 0x00}, 360},
        OneCommandRow{"FilemarksImmediate", R::WriteMarks, 1, 0x00ABCDEFu, 1, kSent,
                      {0x10, 0x01, 0xAB, 0xCD, 0xEF, 0x00}, 360},
        OneCommandRow{"FilemarksZero", R::WriteMarks, 1, 0, 0, kSent,
                      {0x10, 0x00, 0x00, 0x00, 0x00, 0x00}, 360},
        OneCommandRow{"FilemarksLargest", R::WriteMarks, 1, 0xFFFFFFu, 0, kSent,
                      {0x10, 0x00, 0xFF, 0xFF, 0xFF, 0x00}, 360},
        // Counts that WRITE FILEMARKS cannot carry.
        OneCommandRow{"FilemarksBit24", R::WriteMarks, 1, 0x01000000u, 0, kInvalid, {}, 0},
        OneCommandRow{"SetmarksHuge", R::WriteMarks, 0, 0xFFFFFFFFu, 1, kInvalid, {}, 0},
        OneCommandRow{"ShortFilemarks", R::WriteMarks, 2, 1, 0, kNotImpl, {}, 0},
        OneCommandRow{"LongFilemarks", R::WriteMarks, 3, 1, 1, kNotImpl, {}, 0},
        OneCommandRow{"TypeFour", R::WriteMarks, 4, 1, 0, kNotImpl, {}, 0},
        OneCommandRow{"ShortFilemarksHugeCountIsType", R::WriteMarks, 2, 0x01000000u, 0,
                      kNotImpl, {}, 0}),
    [](const ::testing::TestParamInfo<OneCommandRow>& i) { return std::string(i.param.name); });
// clang-format on

class MediumRequest : public HostFixture {};

TEST_F(MediumRequest, FailedCommandEndsWithRefinedStatus)
{
    TAPE_PREPARE load{TAPE_LOAD, 0};
    Check(0x06, 0x3A, 0x00);
    EXPECT_EQ(Run(host::Request::Prepare, &load), TAPE_STATUS_NO_MEDIA);
    EXPECT_THAT(Returned(), ElementsAre(0));

    TAPE_ERASE erase{TAPE_ERASE_LONG, 1};
    Check(0x0B, 0x00, 0x00);
    EXPECT_EQ(Run(host::Request::Erase, &erase), TAPE_STATUS_DEVICE_NOT_READY);
    EXPECT_THAT(Returned(), ElementsAre(0));

    TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, 1, 0};
    Check(0x05, 0x24, 0x00);
    EXPECT_EQ(Run(host::Request::WriteMarks, &marks), TAPE_STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_THAT(Returned(), ElementsAre(0));
}

TEST_F(MediumRequest, GetStatusReportsTheReadinessCheck)
{
    Good();
    EXPECT_EQ(Run(host::Request::GetStatus, nullptr), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(target.received().size(), 1u);
    EXPECT_EQ(target.received()[0].cdb, kTur);
    EXPECT_THAT(Returned(), ElementsAre(2, 3));
    EXPECT_THAT(RetryWords(), ElementsAre(0u, 0u));

    Check(0x02, 0x3A, 0x00);
    EXPECT_EQ(Run(host::Request::GetStatus, nullptr), TAPE_STATUS_NO_MEDIA);
    EXPECT_THAT(Returned(), ElementsAre(2));

    Check(0x0B, 0x00, 0x00);
    EXPECT_EQ(Run(host::Request::GetStatus, nullptr), TAPE_STATUS_DEVICE_NOT_READY);
}

// Completion calls report success whatever the previous step ended with.
TEST(MediumSteps, CompletionCallsSucceedWhateverLastStatus)
{
    StepHarness h;
    TAPE_PREPARE prepare{TAPE_LOAD, 0};
    TAPE_ERASE erase{TAPE_ERASE_LONG, 0};
    TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, 1, 0};
    for (TAPE_STATUS last : {TAPE_STATUS_SUCCESS, TAPE_STATUS_NO_MEDIA, TAPE_STATUS_IO_DEVICE_ERROR,
                             TAPE_STATUS_INVALID_DEVICE_REQUEST}) {
        EXPECT_EQ(h.Call(Prepare, &prepare, 1, last), TAPE_STATUS_SUCCESS);
        EXPECT_EQ(h.Call(Erase, &erase, 1, last), TAPE_STATUS_SUCCESS);
        EXPECT_EQ(h.Call(WriteMarks, &marks, 1, last), TAPE_STATUS_SUCCESS);
        EXPECT_EQ(h.Call(WriteMarks, &marks, 2, last), TAPE_STATUS_SUCCESS);
        EXPECT_EQ(h.Call(GetStatus, nullptr, 1, last), TAPE_STATUS_SUCCESS);
        EXPECT_EQ(h.retry, 0u);
    }
    EXPECT_EQ(h.Call(GetStatus, nullptr, 0), TAPE_STATUS_CHECK_TEST_UNIT_READY);
}

// Leftovers in the command block never reach the drive.
TEST(MediumSteps, CommandBlockIsClearedBeyondTheSixBytes)
{
    StepHarness h;
    TAPE_WRITE_MARKS marks{TAPE_SETMARKS, 1, 1};
    ASSERT_EQ(h.Call(WriteMarks, &marks, 0), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.srb.CdbLength, 6);
    EXPECT_EQ(Bytes(h.srb.Cdb, h.srb.Cdb + 12),
              (Bytes{0x10, 0x03, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(h.srb.DataTransferLength, 0u);
    EXPECT_EQ(h.srb.TimeOutValue, 360u);
}

}  // namespace

namespace {

using namespace drvtest;

TEST(MediumSteps, PrepareAndEraseBuiltOnACleanBlock)
{
    StepHarness h;
    h.srb.DataTransferLength = 99;
    TAPE_PREPARE lock{TAPE_LOCK, 0};
    ASSERT_EQ(h.Call(Prepare, &lock, 0), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x1E, 0x00, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(h.srb.DataTransferLength, 0u);
    EXPECT_EQ(h.srb.TimeOutValue, 180u);
    h.srb.DataTransferLength = 99;
    TAPE_ERASE erase{TAPE_ERASE_LONG, 1};
    ASSERT_EQ(h.Call(Erase, &erase, 0), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x19, 0x03, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(h.srb.DataTransferLength, 0u);
    EXPECT_EQ(h.srb.TimeOutValue, 16500u);
}

}  // namespace
