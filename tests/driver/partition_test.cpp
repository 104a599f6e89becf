// Laying the tape out as one partition or as two initiator-defined partitions.
#include "tests/driver/support.h"

namespace {

using namespace drvtest;
using ::testing::ElementsAre;

const Bytes kSensePartition{0x1A, 0x08, 0x11, 0x00, 0x0E, 0x00};
const Bytes kSenseConfig{0x1A, 0x08, 0x10, 0x00, 0x14, 0x00};
const Bytes kSelectOne{0x15, 0x10, 0x00, 0x00, 0x0C, 0x00};
const Bytes kSelectTwo{0x15, 0x10, 0x00, 0x00, 0x0E, 0x00};

// The drive's medium partition page: header with a medium type and WP set; page byte 0 with
// bit 6 set and a wrong page code; FDP and SDP set, PSUM 01b, low bits 101b; reserved bytes.
const Bytes kPartitionAnswer{0x0D, 0x33, 0x90, 0x08, 0x7F, 0x0A, 0x01,
                             0x00, 0xCD, 0x00, 0xAB, 0xCD, 0x12, 0x34};

Bytes ConfigAnswer(uint8_t active)
{
    return Buffer(20, {{0, 0x13}, {4, 0x10}, {5, 0x0E}, {7, active}});
}

struct LayoutRow {
    const char* name;
    ULONG method;
    ULONG count;
    ULONG size;
};

class CreatePartitionOne : public HostFixture, public ::testing::WithParamInterface<LayoutRow> {};

TEST_P(CreatePartitionOne, SendsTwelveByteListAndForgetsPartition)
{
    const LayoutRow& row = GetParam();
    SetCurrentPartition(2);
    Good();
    Data(kPartitionAnswer);
    Good();
    TAPE_CREATE_PARTITION r{row.method, row.count, row.size};
    EXPECT_EQ(Run(host::Request::CreatePartition, &r), TAPE_STATUS_SUCCESS);
    EXPECT_THAT(Cdbs(), ElementsAre(kTur, kSensePartition, kSelectOne));
    const auto& rx = target.received();
    EXPECT_EQ(rx[1].direction, host::Direction::In);
    EXPECT_EQ(rx[1].timeoutSeconds, 360u);
    EXPECT_EQ(rx[2].direction, host::Direction::Out);
    EXPECT_EQ(rx[2].timeoutSeconds, 16500u);
    EXPECT_EQ(rx[2].dataOut,
              (Bytes{0x00, 0x00, 0x10, 0x00, 0x51, 0x06, 0x00, 0x00, 0xF5, 0x03, 0xAB, 0xCD}));
    const auto cmds = Commands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0].dataTransferLength, 14u);
    EXPECT_EQ(cmds[0].srbFlags & kDataOut, 0u);
    EXPECT_EQ(cmds[1].dataTransferLength, 12u);
    EXPECT_EQ(cmds[1].srbFlags & kDataOut, kDataOut);
    EXPECT_THAT(AllocationSizes(), ElementsAre(16u));
    EXPECT_THAT(Returned(), ElementsAre(2, 0, 0, 3));
    EXPECT_THAT(RetryWords(), ElementsAre(0u, 0u, 0u, 0u));
    EXPECT_EQ(CurrentPartition(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, CreatePartitionOne,
    ::testing::Values(LayoutRow{"CountZeroFixed", 0, 0, 300}, LayoutRow{"CountZeroSelect", 1, 0, 0},
                      LayoutRow{"CountZeroUndefinedMethod", 99, 0, 70000},
                      LayoutRow{"CountZeroInitiator", 2, 0, 0},
                      LayoutRow{"InitiatorCountOneIgnoresSize", 2, 1, 300},
                      LayoutRow{"InitiatorCountOneHugeSize", 2, 1, 0xFFFFFFFFu}),
    [](const ::testing::TestParamInfo<LayoutRow>& i) { return std::string(i.param.name); });

struct TwoRow {
    const char* name;
    ULONG size;
    uint8_t high, low;
    uint8_t active;
    ULONG current;
};

class CreatePartitionTwo : public HostFixture, public ::testing::WithParamInterface<TwoRow> {};

TEST_P(CreatePartitionTwo, SendsFourteenByteListThenReadsActivePartition)
{
    const TwoRow& row = GetParam();
    Good();
    Data(kPartitionAnswer);
    Good();
    Data(ConfigAnswer(row.active));
    TAPE_CREATE_PARTITION r{TAPE_INITIATOR_PARTITIONS, 2, row.size};
    EXPECT_EQ(Run(host::Request::CreatePartition, &r), TAPE_STATUS_SUCCESS);
    EXPECT_THAT(Cdbs(), ElementsAre(kTur, kSensePartition, kSelectTwo, kSenseConfig));
    const auto& rx = target.received();
    EXPECT_EQ(rx[2].dataOut, (Bytes{0x00, 0x00, 0x10, 0x00, 0x51, 0x08, 0x00, 0x01, 0xF5, 0x03,
                                    0xAB, 0xCD, row.high, row.low}));
    EXPECT_EQ(rx[2].timeoutSeconds, 16500u);
    EXPECT_EQ(rx[3].timeoutSeconds, 360u);
    EXPECT_EQ(rx[3].direction, host::Direction::In);
    const auto cmds = Commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[1].dataTransferLength, 14u);
    EXPECT_EQ(cmds[2].dataTransferLength, 20u);
    EXPECT_EQ(cmds[2].srbFlags & kDataOut, 0u);
    EXPECT_THAT(AllocationSizes(), ElementsAre(16u, 20u));
    EXPECT_THAT(Returned(), ElementsAre(2, 0, 0, 0, 3));
    EXPECT_THAT(RetryWords(), ElementsAre(0u, 0u, 0u, 0u, 0u));
    EXPECT_EQ(CurrentPartition(), row.current);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CreatePartitionTwo,
                         ::testing::Values(TwoRow{"Size300FirstActive", 300, 0x01, 0x2C, 0, 1},
                                           TwoRow{"Size300SecondActive", 300, 0x01, 0x2C, 1, 2},
                                           TwoRow{"LargestSize", 0xFFFF, 0xFF, 0xFF, 0, 1},
                                           TwoRow{"SizeZero", 0, 0x00, 0x00, 1, 2}),
                         [](const ::testing::TestParamInfo<TwoRow>& i) {
                             return std::string(i.param.name);
                         });

struct RefuseRow {
    const char* name;
    ULONG method;
    ULONG count;
    ULONG size;
    TAPE_STATUS status;
};

class CreatePartitionRefusal : public HostFixture,
                               public ::testing::WithParamInterface<RefuseRow> {};

TEST_P(CreatePartitionRefusal, RefusedAfterReadingThePageAndNothingWritten)
{
    const RefuseRow& row = GetParam();
    SetCurrentPartition(2);
    Good();
    Data(kPartitionAnswer);
    TAPE_CREATE_PARTITION r{row.method, row.count, row.size};
    EXPECT_EQ(Run(host::Request::CreatePartition, &r), row.status);
    EXPECT_THAT(Cdbs(), ElementsAre(kTur, kSensePartition));
    EXPECT_THAT(Returned(), ElementsAre(2, 0, static_cast<int>(row.status)));
    EXPECT_EQ(CurrentPartition(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, CreatePartitionRefusal,
    ::testing::Values(
        RefuseRow{"CountThreeInitiator", 2, 3, 300, TAPE_STATUS_INVALID_DEVICE_REQUEST},
        RefuseRow{"CountThreeFixed", 0, 3, 300, TAPE_STATUS_INVALID_DEVICE_REQUEST},
        RefuseRow{"CountHuge", 2, 0xFFFFFFFFu, 300, TAPE_STATUS_INVALID_DEVICE_REQUEST},
        RefuseRow{"CountThreeHugeSize", 2, 3, 70000, TAPE_STATUS_INVALID_DEVICE_REQUEST},
        RefuseRow{"FixedOne", 0, 1, 300, TAPE_STATUS_NOT_IMPLEMENTED},
        RefuseRow{"FixedTwo", 0, 2, 300, TAPE_STATUS_NOT_IMPLEMENTED},
        RefuseRow{"SelectOne", 1, 1, 300, TAPE_STATUS_NOT_IMPLEMENTED},
        RefuseRow{"SelectTwo", 1, 2, 300, TAPE_STATUS_NOT_IMPLEMENTED},
        RefuseRow{"UndefinedMethodTwo", 3, 2, 300, TAPE_STATUS_NOT_IMPLEMENTED},
        RefuseRow{"FixedTwoHugeSize", 0, 2, 70000, TAPE_STATUS_NOT_IMPLEMENTED},
        // A first partition the size descriptor cannot carry.
        RefuseRow{"Size65836", 2, 2, 65836, TAPE_STATUS_INVALID_PARAMETER},
        RefuseRow{"Size65536", 2, 2, 0x10000, TAPE_STATUS_INVALID_PARAMETER},
        RefuseRow{"SizeHuge", 2, 2, 0xFFFFFFFFu, TAPE_STATUS_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<RefuseRow>& i) { return std::string(i.param.name); });

class CreatePartitionRequest : public HostFixture {};

TEST_F(CreatePartitionRequest, FailedCommandAtEachStepEndsAndKeepsPartition)
{
    struct Row {
        size_t failing;  // 0 readiness, 1 sense, 2 select, 3 configuration sense
        Bytes sense;
        TAPE_STATUS status;
        std::vector<int> returned;
    };
    const std::vector<Row> rows{
        {0, {0x02, 0x3A, 0x00}, TAPE_STATUS_NO_MEDIA, {2}},
        {1, {0x05, 0x24, 0x00}, TAPE_STATUS_INVALID_DEVICE_REQUEST, {2, 0}},
        {2, {0x05, 0x26, 0x00}, TAPE_STATUS_INVALID_DEVICE_REQUEST, {2, 0, 0}},
        {3, {0x0B, 0x00, 0x00}, TAPE_STATUS_DEVICE_NOT_READY, {2, 0, 0, 0}},
    };
    for (const Row& row : rows) {
        target.Clear();
        SetCurrentPartition(0);
        const std::vector<Bytes> answers{Bytes{}, kPartitionAnswer, Bytes{}, ConfigAnswer(1)};
        for (size_t i = 0; i <= row.failing; ++i) {
            if (i == row.failing) {
                Check(row.sense[0], row.sense[1], row.sense[2]);
            } else if (answers[i].empty()) {
                Good();
            } else {
                Data(answers[i]);
            }
        }
        TAPE_CREATE_PARTITION r{TAPE_INITIATOR_PARTITIONS, 2, 300};
        EXPECT_EQ(Run(host::Request::CreatePartition, &r), row.status) << row.failing;
        EXPECT_EQ(Returned(), row.returned) << row.failing;
        EXPECT_EQ(target.received().size(), row.failing + 1) << row.failing;
        EXPECT_EQ(CurrentPartition(), 0u) << row.failing;
    }
}

TEST_F(CreatePartitionRequest, FailedSenseIsWhatARefusedRequestSees)
{
    Good();
    Check(0x0B, 0x00, 0x00);
    TAPE_CREATE_PARTITION r{TAPE_FIXED_PARTITIONS, 2, 300};
    EXPECT_EQ(Run(host::Request::CreatePartition, &r), TAPE_STATUS_DEVICE_NOT_READY);
}

TEST_F(CreatePartitionRequest, FailedAllocationAtEachPoint)
{
    SetCurrentPartition(0);
    Good();
    TAPE_CREATE_PARTITION r{TAPE_INITIATOR_PARTITIONS, 2, 300};
    EXPECT_EQ(Run(host::Request::CreatePartition, &r, FailAt(1)),
              TAPE_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_THAT(Cdbs(), ElementsAre(kTur));
    EXPECT_THAT(Returned(), ElementsAre(2, 4));
    EXPECT_EQ(CurrentPartition(), 0u);

    target.Clear();
    Good();
    Data(kPartitionAnswer);
    Good();
    EXPECT_EQ(Run(host::Request::CreatePartition, &r, FailAt(2)),
              TAPE_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_THAT(Cdbs(), ElementsAre(kTur, kSensePartition, kSelectTwo));
    EXPECT_THAT(Returned(), ElementsAre(2, 0, 0, 4));
    EXPECT_EQ(CurrentPartition(), 0u);
}

// Partitioning, positioning and the media request agree on the current partition.
TEST_F(CreatePartitionRequest, CurrentPartitionAcrossRequests)
{
    Good();
    Data(kPartitionAnswer);
    Good();
    Data(ConfigAnswer(1));
    TAPE_CREATE_PARTITION two{TAPE_INITIATOR_PARTITIONS, 2, 300};
    ASSERT_EQ(Run(host::Request::CreatePartition, &two), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(CurrentPartition(), 2u);

    target.Clear();
    Good();
    TAPE_SET_POSITION locate{};
    locate.Method = TAPE_LOGICAL_BLOCK;
    locate.Partition = 1;
    ASSERT_EQ(Run(host::Request::SetPosition, &locate), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(target.received()[0].cdb,
              (Bytes{0x2B, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(CurrentPartition(), 1u);

    target.Clear();
    Good();
    Data(kPartitionAnswer);
    Good();
    TAPE_CREATE_PARTITION one{TAPE_INITIATOR_PARTITIONS, 1, 0};
    ASSERT_EQ(Run(host::Request::CreatePartition, &one), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(CurrentPartition(), 0u);
}

TEST(CreatePartitionSteps, LaterCallsSucceedAndChangeNothing)
{
    StepHarness h;
    h.ext.CurrentPartition = 2;
    h.cmd.PendingPartition = 2;
    TAPE_CREATE_PARTITION r{TAPE_INITIATOR_PARTITIONS, 2, 300};
    for (ULONG call : {5u, 6u}) {
        EXPECT_EQ(h.Call(CreatePartition, &r, call, TAPE_STATUS_IO_DEVICE_ERROR),
                  TAPE_STATUS_SUCCESS);
    }
    EXPECT_EQ(h.ext.CurrentPartition, 2u);
    EXPECT_EQ(h.cmd.PendingPartition, 2u);
    EXPECT_EQ(h.store.allocations(), 0u);
}

}  // namespace

namespace {

using namespace drvtest;

TEST(CreatePartitionSteps, EveryCommandBuiltOnACleanBlock)
{
    StepHarness h;
    TAPE_CREATE_PARTITION r{TAPE_INITIATOR_PARTITIONS, 2, 300};
    ASSERT_EQ(h.Call(CreatePartition, &r, 0), TAPE_STATUS_CHECK_TEST_UNIT_READY);
    ASSERT_EQ(h.Call(CreatePartition, &r, 1), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x1A, 0x08, 0x11, 0x00, 0x0E, 0x00}));
    EXPECT_EQ(h.srb.DataTransferLength, 14u);
    EXPECT_EQ(h.srb.SrbFlags, 0u);
    h.Answer(Bytes{0x0D, 0x00, 0x10, 0x00, 0x11, 0x0A, 0x01, 0x00, 0x10, 0x03, 0, 0, 0, 0});
    ASSERT_EQ(h.Call(CreatePartition, &r, 2), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x15, 0x10, 0x00, 0x00, 0x0E, 0x00}));
    EXPECT_EQ(h.srb.SrbFlags, 0x80u);
    EXPECT_EQ(h.srb.TimeOutValue, 16500u);
    EXPECT_EQ(h.cmd.PendingPartition, 2u);
    EXPECT_EQ(h.ext.CurrentPartition, 0u);
    ASSERT_EQ(h.Call(CreatePartition, &r, 3), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x1A, 0x08, 0x10, 0x00, 0x14, 0x00}));
    EXPECT_EQ(h.srb.DataTransferLength, 20u);
    h.Answer(Buffer(20, {{7, 0x00}}));
    ASSERT_EQ(h.Call(CreatePartition, &r, 4), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(h.ext.CurrentPartition, 1u);
}

}  // namespace
