// Reading and setting the tape position, and following the current partition.
#include "tests/driver/support.h"

namespace {

using namespace drvtest;
using ::testing::ElementsAre;

// ---------------------------------------------------------------- GetPosition

class GetPositionRequest : public HostFixture {
protected:
    // Type kept, Partition and Offset filled with leftovers that call 0 must clear.
    TAPE_GET_POSITION Record(ULONG type)
    {
        TAPE_GET_POSITION r{};
        r.Type = type;
        r.Partition = 0x55;
        r.Offset.LowPart = 0x12345678u;
        r.Offset.HighPart = 0x77;
        return r;
    }
};

TEST_F(GetPositionRequest, AbsoluteAsksForDeviceBlockAddressesAndReportsPartitionZero)
{
    Good();
    Data(Buffer(20, {{1, 0x01}, {4, 0x00}, {5, 0x00}, {6, 0x01}, {7, 0x02}}));
    auto r = Record(TAPE_ABSOLUTE_POSITION);
    EXPECT_EQ(Run(host::Request::GetPosition, &r), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(target.received().size(), 2u);
    EXPECT_EQ(target.received()[0].cdb, kTur);
    const auto& rp = target.received()[1];
    EXPECT_EQ(rp.cdb, (Bytes{0x34, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rp.direction, host::Direction::In);
    EXPECT_EQ(rp.dataLength, 20u);
    EXPECT_EQ(rp.timeoutSeconds, 360u);
    EXPECT_EQ(r.Type, 0u);
    EXPECT_EQ(r.Partition, 0u);
    EXPECT_EQ(r.Offset.LowPart, 258u);
    EXPECT_EQ(r.Offset.HighPart, 0);
    EXPECT_THAT(Returned(), ElementsAre(2, 0, 3));
    EXPECT_THAT(RetryWords(), ElementsAre(0u, 0u, 0u));
}

TEST_F(GetPositionRequest, LogicalReportsOneBasedPartition)
{
    struct Row {
        uint8_t drivePartition;
        ULONG partition;
    };
    for (const Row row : {Row{0, 1}, Row{1, 2}, Row{0xFE, 0xFF}}) {
        target.Clear();
        Good();
        Data(Buffer(20, {{0, 0x80}, {1, row.drivePartition}, {4, 0x80}, {7, 0x01}}));
        auto r = Record(TAPE_LOGICAL_POSITION);
        EXPECT_EQ(Run(host::Request::GetPosition, &r), TAPE_STATUS_SUCCESS);
        ASSERT_EQ(target.received().size(), 2u);
        EXPECT_EQ(target.received()[1].cdb, (Bytes{0x34, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(r.Type, 1u);
        EXPECT_EQ(r.Partition, row.partition);
        EXPECT_EQ(r.Offset.LowPart, 0x80000001u);
        EXPECT_EQ(r.Offset.HighPart, 0);
    }
}

TEST_F(GetPositionRequest, BpuIsRefusedAndLeavesRecordClear)
{
    Good();
    Data(Buffer(20, {{0, 0x04}, {1, 0x01}, {4, 0x11}, {7, 0x22}}));
    auto r = Record(TAPE_LOGICAL_POSITION);
    EXPECT_EQ(Run(host::Request::GetPosition, &r), TAPE_STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.Type, 1u);
    EXPECT_EQ(r.Partition, 0u);
    EXPECT_EQ(r.Offset.LowPart, 0u);
    EXPECT_EQ(r.Offset.HighPart, 0);
    EXPECT_THAT(Returned(), ElementsAre(2, 0, 6));
}

TEST_F(GetPositionRequest, FlagBitsOtherThanBpuDoNotRefuse)
{
    Good();
    Data(Buffer(20, {{0, 0xFB}, {7, 0x09}}));
    auto r = Record(TAPE_ABSOLUTE_POSITION);
    EXPECT_EQ(Run(host::Request::GetPosition, &r), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Offset.LowPart, 9u);
}

TEST_F(GetPositionRequest, PseudoLogicalAndLargerTypesRefusedAfterReadinessCheck)
{
    for (ULONG type : {2u, 3u, 0xFFFFFFFFu}) {
        target.Clear();
        Good();
        auto r = Record(type);
        EXPECT_EQ(Run(host::Request::GetPosition, &r), TAPE_STATUS_NOT_IMPLEMENTED);
        ASSERT_EQ(target.received().size(), 1u) << type;
        EXPECT_EQ(target.received()[0].cdb, kTur);
        EXPECT_THAT(Returned(), ElementsAre(2, 5));
        EXPECT_EQ(r.Type, type);
        EXPECT_EQ(r.Partition, 0u);
        EXPECT_EQ(r.Offset.LowPart, 0u);
        EXPECT_EQ(r.Offset.HighPart, 0);
    }
}

TEST_F(GetPositionRequest, FailedAllocationSendsNothing)
{
    Good();
    auto r = Record(TAPE_LOGICAL_POSITION);
    EXPECT_EQ(Run(host::Request::GetPosition, &r, FailAt(1)), TAPE_STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(target.received().size(), 1u);
    EXPECT_EQ(r.Partition, 0u);
    EXPECT_EQ(r.Offset.LowPart, 0u);
    EXPECT_THAT(Returned(), ElementsAre(2, 4));
}

TEST_F(GetPositionRequest, FailedReadinessCheckEndsRequest)
{
    Check(0x02, 0x3A, 0x00);
    auto r = Record(TAPE_ABSOLUTE_POSITION);
    EXPECT_EQ(Run(host::Request::GetPosition, &r), TAPE_STATUS_NO_MEDIA);
    EXPECT_EQ(target.received().size(), 1u);
    EXPECT_THAT(Returned(), ElementsAre(2));
}

TEST_F(GetPositionRequest, FailedReadPositionEndsRequestWithRefinedStatus)
{
    Good();
    Check(0x0B, 0x4E, 0x00);
    auto r = Record(TAPE_ABSOLUTE_POSITION);
    EXPECT_EQ(Run(host::Request::GetPosition, &r), TAPE_STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(target.received().size(), 2u);
    EXPECT_THAT(Returned(), ElementsAre(2, 0));
    EXPECT_EQ(r.Offset.LowPart, 0u);
}

// ---------------------------------------------------------------- SetPosition

struct MoveRow {
    const char* name;
    ULONG method;
    ULONG partition;
    ULONG lowPart;
    LONG highPart;
    BOOLEAN immediate;
    ULONG currentBefore;
    Bytes cdb;
    ULONG timeout;
    ULONG currentAfter;
};

class SetPositionMove : public HostFixture, public ::testing::WithParamInterface<MoveRow> {};

TEST_P(SetPositionMove, SendsOneCommandAndCommitsPartitionOnlyForLogicalLocate)
{
    const MoveRow& row = GetParam();
    SetCurrentPartition(row.currentBefore);
    Good();
    TAPE_SET_POSITION r{};
    r.Method = row.method;
    r.Partition = row.partition;
    r.Offset.LowPart = row.lowPart;
    r.Offset.HighPart = row.highPart;
    r.Immediate = row.immediate;
    EXPECT_EQ(Run(host::Request::SetPosition, &r), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(target.received().size(), 1u);
    const auto& sent = target.received()[0];
    EXPECT_EQ(sent.cdb, row.cdb);
    EXPECT_EQ(sent.timeoutSeconds, row.timeout);
    EXPECT_EQ(sent.direction, host::Direction::None);
    EXPECT_EQ(sent.dataLength, 0u);
    EXPECT_EQ(CurrentPartition(), row.currentAfter);
    EXPECT_THAT(Returned(), ElementsAre(0, 3));
    EXPECT_THAT(RetryWords(), ElementsAre(0u, 0u));
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0].srbFlags & kDataOut, 0u);
    EXPECT_EQ(Commands()[0].dataTransferLength, 0u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Methods, SetPositionMove,
    ::testing::Values(
        MoveRow{"Rewind", 0, 0, 0, 0, 0, 2, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, 360, 2},
        MoveRow{"RewindImmediate", 0, 0, 0, 0, 1, 1, {0x01, 0x01, 0x00, 0x00, 0x00, 0x00}, 360, 1},
        MoveRow{"RewindImmediateBitZero", 0, 0, 0, 0, 2, 0, {0x01, 0x00, 0, 0, 0, 0}, 360, 0},
        MoveRow{"Absolute", 1, 0, 0x01020304u, 0, 0, 0,
                {0x2B, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00}, 480, 0},
        MoveRow{"AbsoluteImmediate", 1, 0, 0xFFFFFFFEu, 7, 1, 0,
                {0x2B, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x00, 0x00}, 480, 0},
        MoveRow{"AbsoluteIgnoresPartition", 1, 2, 5, 0, 0, 1,
                {0x2B, 0x04, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00}, 480, 1},
        MoveRow{"LogicalToOtherPartitionSetsCp", 2, 2, 5, 0, 0, 1,
                {0x2B, 0x02, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x01, 0x00}, 480, 2},
        MoveRow{"LogicalToOtherPartitionImmediate", 2, 1, 0x00ABCDEFu, 0, 1, 2,
                {0x2B, 0x03, 0x00, 0x00, 0xAB, 0xCD, 0xEF, 0x00, 0x00, 0x00}, 480, 1},
        MoveRow{"LogicalHighestPartition", 2, 256, 9, 0, 0, 1,
                {0x2B, 0x02, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0xFF, 0x00}, 480, 256},
        MoveRow{"LogicalUnpartitionedSendsNoChange", 2, 2, 5, 0, 0, 0,
                {0x2B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00}, 480, 0},
        MoveRow{"LogicalUnpartitionedIgnoresHugePartition", 2, 1000, 5, 0, 0, 0,
                {0x2B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00}, 480, 0},
        MoveRow{"LogicalPartitionZeroStays", 2, 0, 0x10203040u, 0, 1, 2,
                {0x2B, 0x01, 0x00, 0x10, 0x20, 0x30, 0x40, 0x00, 0x00, 0x00}, 480, 2},
        // The drive may have left the partition the driver remembers: it is named anyway.
        MoveRow{"LogicalSamePartitionCarried", 2, 2, 5, 0, 0, 2,
                {0x2B, 0x02, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x01, 0x00}, 480, 2},
        MoveRow{"LogicalSameFirstPartitionImmediate", 2, 1, 5, 0, 1, 1,
                {0x2B, 0x03, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00}, 480, 1},
        MoveRow{"EndOfDataIgnoresOffset", 4, 0, 0x7FFFFFFFu, 0, 0, 1,
                {0x11, 0x03, 0x00, 0x00, 0x00, 0x00}, 480, 1},
        MoveRow{"RelativeBlocksBackOne", 5, 0, 0xFFFFFFFFu, -1, 0, 0,
                {0x11, 0x00, 0xFF, 0xFF, 0xFF, 0x00}, 480, 0},
        MoveRow{"RelativeBlocksHighPartUnread", 5, 0, 3, 5, 0, 0,
                {0x11, 0x00, 0x00, 0x00, 0x03, 0x00}, 480, 0},
        MoveRow{"RelativeBlocksLargest", 5, 0, 8388607u, 0, 0, 0,
                {0x11, 0x00, 0x7F, 0xFF, 0xFF, 0x00}, 480, 0},
        MoveRow{"RelativeBlocksSmallest", 5, 0, 0xFF800000u, -1, 0, 0,
                {0x11, 0x00, 0x80, 0x00, 0x00, 0x00}, 480, 0},
        MoveRow{"Filemarks", 6, 0, 2, 0, 0, 0, {0x11, 0x01, 0x00, 0x00, 0x02, 0x00}, 480, 0},
        MoveRow{"SequentialFilemarks", 7, 0, 0x010203u, 0, 0, 0,
                {0x11, 0x02, 0x01, 0x02, 0x03, 0x00}, 480, 0},
        MoveRow{"Setmarks", 8, 0, 3, 0, 0, 2, {0x11, 0x04, 0x00, 0x00, 0x03, 0x00}, 480, 2},
        MoveRow{"SequentialSetmarksBack", 9, 0, 0xFFFFFFFEu, -1, 0, 0,
                {0x11, 0x05, 0xFF, 0xFF, 0xFE, 0x00}, 480, 0}),
    [](const ::testing::TestParamInfo<MoveRow>& info) { return std::string(info.param.name); });
// clang-format on

struct RefusalRow {
    const char* name;
    ULONG method;
    ULONG partition;
    ULONG lowPart;
    BOOLEAN immediate;
    ULONG currentBefore;
    TAPE_STATUS status;
};

class SetPositionRefusal : public HostFixture, public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(SetPositionRefusal, SendsNothingAndKeepsPartition)
{
    const RefusalRow& row = GetParam();
    SetCurrentPartition(row.currentBefore);
    Good();
    TAPE_SET_POSITION r{};
    r.Method = row.method;
    r.Partition = row.partition;
    r.Offset.LowPart = row.lowPart;
    r.Immediate = row.immediate;
    EXPECT_EQ(Run(host::Request::SetPosition, &r), row.status);
    EXPECT_TRUE(target.received().empty());
    EXPECT_THAT(Returned(), ElementsAre(static_cast<int>(row.status)));
    EXPECT_EQ(CurrentPartition(), row.currentBefore);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Requests, SetPositionRefusal,
    ::testing::Values(
        RefusalRow{"PseudoLogical", 3, 0, 0, 0, 1, TAPE_STATUS_NOT_IMPLEMENTED},
        RefusalRow{"PseudoLogicalImmediate", 3, 0, 0, 1, 1, TAPE_STATUS_NOT_IMPLEMENTED},
        RefusalRow{"EndOfDataImmediate", 4, 0, 0, 1, 1, TAPE_STATUS_NOT_IMPLEMENTED},
        RefusalRow{"RelativeImmediate", 5, 0, 1, 1, 1, TAPE_STATUS_NOT_IMPLEMENTED},
        RefusalRow{"FilemarksImmediate", 6, 0, 1, 1, 1, TAPE_STATUS_NOT_IMPLEMENTED},
        RefusalRow{"SeqFilemarksImmediate", 7, 0, 1, 1, 1, TAPE_STATUS_NOT_IMPLEMENTED},
        RefusalRow{"SetmarksImmediate", 8, 0, 1, 1, 1, TAPE_STATUS_NOT_IMPLEMENTED},
        RefusalRow{"SeqSetmarksImmediate", 9, 0, 1, 1, 1, TAPE_STATUS_NOT_IMPLEMENTED},
        RefusalRow{"SpaceImmediateBeforeRange", 5, 0, 0x01000002u, 1, 1,
                   TAPE_STATUS_NOT_IMPLEMENTED},
        RefusalRow{"MethodTen", 10, 0, 0, 0, 1, TAPE_STATUS_NOT_IMPLEMENTED},
        RefusalRow{"MethodHuge", 0xFFFFFFFFu, 0, 0, 0, 1, TAPE_STATUS_NOT_IMPLEMENTED},
        // Counts that SPACE cannot carry in 24 bits.
        RefusalRow{"RelativeBit24", 5, 0, 0x01000002u, 0, 1, TAPE_STATUS_INVALID_PARAMETER},
        RefusalRow{"RelativeAboveLargest", 5, 0, 8388608u, 0, 1, TAPE_STATUS_INVALID_PARAMETER},
        RefusalRow{"RelativeBelowSmallest", 5, 0, 0xFF7FFFFFu, 0, 1,
                   TAPE_STATUS_INVALID_PARAMETER},
        RefusalRow{"FilemarksHuge", 6, 0, 0x7FFFFFFFu, 0, 1, TAPE_STATUS_INVALID_PARAMETER},
        RefusalRow{"SeqFilemarksMostNegative", 7, 0, 0x80000000u, 0, 1,
                   TAPE_STATUS_INVALID_PARAMETER},
        RefusalRow{"SetmarksAbove", 8, 0, 0x00800000u, 0, 1, TAPE_STATUS_INVALID_PARAMETER},
        RefusalRow{"SeqSetmarksAbove", 9, 0, 0x00800000u, 0, 1, TAPE_STATUS_INVALID_PARAMETER},
        // A partition LOCATE cannot name.
        RefusalRow{"LogicalPartition257", 2, 257, 5, 0, 1, TAPE_STATUS_INVALID_PARAMETER},
        RefusalRow{"LogicalPartitionHuge", 2, 0x80000001u, 5, 0, 2,
                   TAPE_STATUS_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<RefusalRow>& info) { return std::string(info.param.name); });
// clang-format on

class SetPositionRequest : public HostFixture {};

TEST_F(SetPositionRequest, RejectedChangeOfPartitionKeepsCurrentPartition)
{
    SetCurrentPartition(1);
    Check(0x05, 0x24, 0x00);
    TAPE_SET_POSITION r{};
    r.Method = TAPE_LOGICAL_BLOCK;
    r.Partition = 2;
    r.Offset.LowPart = 5;
    EXPECT_EQ(Run(host::Request::SetPosition, &r), TAPE_STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(target.received().size(), 1u);
    EXPECT_EQ(target.received()[0].cdb,
              (Bytes{0x2B, 0x02, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x01, 0x00}));
    EXPECT_EQ(CurrentPartition(), 1u);
    EXPECT_THAT(Returned(), ElementsAre(0));
}

TEST_F(SetPositionRequest, FailedSpaceEndsWithRefinedStatus)
{
    Check(0x0B, 0x00, 0x00);
    TAPE_SET_POSITION r{};
    r.Method = TAPE_SPACE_FILEMARKS;
    r.Offset.LowPart = 1;
    EXPECT_EQ(Run(host::Request::SetPosition, &r), TAPE_STATUS_DEVICE_NOT_READY);
    EXPECT_THAT(Returned(), ElementsAre(0));
}

TEST_F(SetPositionRequest, PartitionFollowsAcrossRequests)
{
    EXPECT_EQ(CurrentPartition(), 0u);
    TAPE_SET_POSITION r{};
    r.Method = TAPE_LOGICAL_BLOCK;
    r.Partition = 2;
    r.Offset.LowPart = 7;

    // Not known to be partitioned: no change is sent, nothing is committed.
    Good();
    ASSERT_EQ(Run(host::Request::SetPosition, &r), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(target.received().back().cdb[1], 0x00);
    EXPECT_EQ(CurrentPartition(), 0u);

    SetCurrentPartition(1);
    Good();
    ASSERT_EQ(Run(host::Request::SetPosition, &r), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(target.received().back().cdb[1], 0x02);
    EXPECT_EQ(target.received().back().cdb[8], 0x01);
    EXPECT_EQ(CurrentPartition(), 2u);

    // Now in partition 2: the same request still names it.
    Good();
    ASSERT_EQ(Run(host::Request::SetPosition, &r), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(target.received().back().cdb[1], 0x02);
    EXPECT_EQ(target.received().back().cdb[8], 0x01);
    EXPECT_EQ(CurrentPartition(), 2u);

    // Back to 1, then a rewind leaves it.
    r.Partition = 1;
    Good();
    ASSERT_EQ(Run(host::Request::SetPosition, &r), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(target.received().back().cdb[8], 0x00);
    EXPECT_EQ(target.received().back().cdb[1], 0x02);
    EXPECT_EQ(CurrentPartition(), 1u);
    TAPE_SET_POSITION rewind{};
    Good();
    ASSERT_EQ(Run(host::Request::SetPosition, &rewind), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(CurrentPartition(), 1u);
}

// The completion call commits what call 0 decided, not what the extension says then.
TEST(SetPositionSteps, CompletionCommitsPendingPartitionForLogicalLocateOnly)
{
    StepHarness h;
    h.ext.CurrentPartition = 1;
    TAPE_SET_POSITION r{};
    r.Method = TAPE_LOGICAL_BLOCK;
    r.Partition = 2;
    ASSERT_EQ(h.Call(SetPosition, &r, 0), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.cmd.PendingPartition, 2u);
    EXPECT_EQ(h.ext.CurrentPartition, 1u);
    EXPECT_EQ(h.retry, 0u);
    EXPECT_EQ(h.Cdb(), (Bytes{0x2B, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(h.srb.Cdb[10], 0);
    EXPECT_EQ(h.srb.Cdb[11], 0);
    EXPECT_EQ(h.Call(SetPosition, &r, 1), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(h.ext.CurrentPartition, 2u);

    TAPE_SET_POSITION space{};
    space.Method = TAPE_SPACE_FILEMARKS;
    space.Offset.LowPart = 1;
    h.cmd.PendingPartition = 9;
    ASSERT_EQ(h.Call(SetPosition, &space, 0), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.cmd.PendingPartition, 0u);
    EXPECT_EQ(h.Call(SetPosition, &space, 1), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(h.ext.CurrentPartition, 2u);
}

}  // namespace

namespace {

using namespace drvtest;

TEST(GetPositionSteps, ReadPositionBuiltOnACleanBlock)
{
    StepHarness h;
    TAPE_GET_POSITION r{};
    r.Type = TAPE_LOGICAL_POSITION;
    ASSERT_EQ(h.Call(GetPosition, &r, 0), TAPE_STATUS_CHECK_TEST_UNIT_READY);
    ASSERT_EQ(h.Call(GetPosition, &r, 1), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(h.srb.DataTransferLength, 20u);
    EXPECT_EQ(h.store.size(), 20u);
    EXPECT_EQ(h.srb.TimeOutValue, 360u);
    h.Answer(Buffer(20, {{1, 0x02}, {6, 0x01}}));
    ASSERT_EQ(h.Call(GetPosition, &r, 2), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Partition, 3u);
    EXPECT_EQ(r.Offset.LowPart, 256u);
}

TEST(SetPositionSteps, SpaceBuiltOnACleanBlock)
{
    StepHarness h;
    TAPE_SET_POSITION r{};
    r.Method = TAPE_SPACE_SETMARKS;
    r.Offset.LowPart = 0xFFFFFFFDu;
    ASSERT_EQ(h.Call(SetPosition, &r, 0), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x11, 0x04, 0xFF, 0xFF, 0xFD, 0x00}));
    EXPECT_EQ(h.srb.DataTransferLength, 0u);
    EXPECT_EQ(h.srb.TimeOutValue, 480u);
}

}  // namespace
