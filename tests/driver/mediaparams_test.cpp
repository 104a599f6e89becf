// Reading the medium's capacity, block size, partitions and protection; setting the block size.
#include "tests/driver/support.h"

namespace {

using namespace drvtest;
using ::testing::ElementsAre;

const Bytes kSenseConfig{0x1A, 0x08, 0x10, 0x00, 0x14, 0x00};
const Bytes kSensePartition{0x1A, 0x00, 0x11, 0x00, 0x18, 0x00};
const Bytes kLogSense{0x4D, 0x00, 0x71, 0x00, 0x00, 0x00, 0x00, 0x00, 0x24, 0x00};

Bytes ConfigAnswer(uint8_t activePartition)
{
    return Buffer(20, {{0, 0x13}, {4, 0x10}, {5, 0x0E}, {7, activePartition}, {12, 0x20}});
}

Bytes PartitionAnswer(uint8_t deviceSpecific, uint8_t b9, uint8_t b10, uint8_t b11,
                      uint8_t additionalPartitions)
{
    return Bytes{
        0x17, 0x00, deviceSpecific,       0x08, 0x13, 0x00, 0x01, 0x00, 0x00, b9,   b10, b11, 0x91,
        0x0A, 0x01, additionalPartitions, 0x30, 0x03, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00};
}

// Headers filled with 0xFF: the values are taken by position, never by what the headers say.
Bytes LogAnswer(ULONG v1, ULONG v2, ULONG v3, ULONG v4)
{
    Bytes b(36, 0xFF);
    const ULONG values[4] = {v1, v2, v3, v4};
    for (int p = 0; p < 4; ++p) {
        for (int i = 0; i < 4; ++i) {
            b[8 + 8 * p + i] = static_cast<uint8_t>(values[p] >> (24 - 8 * i));
        }
    }
    return b;
}

class GetMediaParametersRequest : public HostFixture {
protected:
    TAPE_GET_MEDIA_PARAMETERS Run(const host::RunOptions& options = {})
    {
        TAPE_GET_MEDIA_PARAMETERS r;
        std::memset(&r, 0xA5, sizeof(r));  // leftovers call 0 must clear
        status = HostFixture::Run(host::Request::GetMediaParameters, &r, options);
        return r;
    }
    TAPE_STATUS status = TAPE_STATUS_SUCCESS;
};

TEST_F(GetMediaParametersRequest, TwoPartitionTapeInSecondPartition)
{
    SetCurrentPartition(0);
    Good();
    Data(ConfigAnswer(1));
    Data(PartitionAnswer(0x90, 0x00, 0x02, 0x00, 1));
    Data(LogAnswer(1000, 0, 1u << 22, 1u << 22));
    const auto r = Run();
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_THAT(Cdbs(), ElementsAre(kTur, kSenseConfig, kSensePartition, kLogSense));
    for (const auto& c : target.received()) {
        EXPECT_EQ(c.timeoutSeconds, 360u);
    }
    const auto cmds = Commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0].dataTransferLength, 20u);
    EXPECT_EQ(cmds[1].dataTransferLength, 24u);
    EXPECT_EQ(cmds[2].dataTransferLength, 36u);
    for (const auto& c : cmds) {
        EXPECT_EQ(c.direction, host::Direction::In);
        EXPECT_EQ(c.srbFlags & kDataOut, 0u);
    }
    EXPECT_THAT(AllocationSizes(), ElementsAre(20u, 24u, 92u));
    EXPECT_THAT(Returned(), ElementsAre(2, 0, 0, 0, 3));
    EXPECT_THAT(RetryWords(), ElementsAre(0u, 0u, kReturnErrors, 0u, 0u));

    EXPECT_EQ(r.BlockSize, 512u);
    EXPECT_EQ(r.PartitionCount, 2u);
    EXPECT_EQ(r.WriteProtected, 1);
    EXPECT_EQ(r.Remaining.LowPart, 1024000u);
    EXPECT_EQ(r.Remaining.HighPart, 0);
    EXPECT_EQ(r.Capacity.LowPart, 0u);
    EXPECT_EQ(r.Capacity.HighPart, 2);
    EXPECT_EQ(CurrentPartition(), 2u);
}

struct MediaRow {
    const char* name;
    Bytes partitionAnswer;
    Bytes logAnswer;
    uint8_t active;
    ULONG blockSize;
    ULONG partitionCount;
    BOOLEAN writeProtected;
    unsigned long long remaining;
    unsigned long long capacity;
    ULONG currentPartition;
};

class GetMediaParametersAnswers : public GetMediaParametersRequest,
                                  public ::testing::WithParamInterface<MediaRow> {};

TEST_P(GetMediaParametersAnswers, FillsRecordAndPartition)
{
    const MediaRow& row = GetParam();
    SetCurrentPartition(7);
    Good();
    Data(ConfigAnswer(row.active));
    Data(row.partitionAnswer);
    Data(row.logAnswer);
    const auto r = Run();
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.BlockSize, row.blockSize);
    EXPECT_EQ(r.PartitionCount, row.partitionCount);
    EXPECT_EQ(r.WriteProtected, row.writeProtected);
    EXPECT_EQ(static_cast<unsigned long long>(r.Remaining.QuadPart), row.remaining);
    EXPECT_EQ(static_cast<unsigned long long>(r.Capacity.QuadPart), row.capacity);
    EXPECT_EQ(CurrentPartition(), row.currentPartition);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Answers, GetMediaParametersAnswers,
    ::testing::Values(
        MediaRow{"Unpartitioned", PartitionAnswer(0x10, 0x00, 0x02, 0x00, 0),
                 LogAnswer(1000, 0, 2000, 0), 0, 512, 1, 0, 1024000ull, 2048000ull, 0},
        MediaRow{"FirstOfTwo", PartitionAnswer(0x10, 0x00, 0x00, 0x00, 1),
                 LogAnswer(1, 2, 3, 4), 0, 0, 2, 0, 3072ull, 7168ull, 1},
        MediaRow{"WriteProtectOnly", PartitionAnswer(0x80, 0x12, 0x34, 0x56, 0),
                 LogAnswer(0, 0, 0, 0), 0, 0x123456, 1, 1, 0, 0, 0},
        MediaRow{"OtherBitsNotProtect", PartitionAnswer(0x7F, 0x01, 0x00, 0x00, 0),
                 LogAnswer(0, 0, 0, 0), 0, 65536, 1, 0, 0, 0, 0},
        MediaRow{"LargestValues", PartitionAnswer(0xFF, 0xFF, 0xFF, 0xFF, 255),
                 LogAnswer(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu), 0xFF,
                 0xFFFFFF, 256, 1, 0x7FFFFFFF800ull, 0x7FFFFFFF800ull, 256},
        // Bytes 12 onward not sent: the additional partitions read as 0.
        MediaRow{"ShortPartitionAnswerIsOverrunAccepted",
                 Bytes{0x0B, 0x00, 0x90, 0x08, 0x13, 0, 0, 0, 0, 0x00, 0x04, 0x00},
                 LogAnswer(5, 0, 6, 0), 1, 1024, 1, 1, 5120ull, 6144ull, 0}),
    [](const ::testing::TestParamInfo<MediaRow>& i) { return std::string(i.param.name); });
// clang-format on

TEST_F(GetMediaParametersRequest, NoMediaOnPartitionPageIsReturnedAndRecordStaysClear)
{
    SetCurrentPartition(2);
    Good();
    Data(ConfigAnswer(0));
    Check(0x02, 0x3A, 0x00);
    const auto r = Run();
    EXPECT_EQ(status, TAPE_STATUS_NO_MEDIA);
    EXPECT_THAT(Returned(), ElementsAre(2, 0, 0, 17));
    EXPECT_EQ(r.BlockSize, 0u);
    EXPECT_EQ(r.PartitionCount, 0u);
    EXPECT_EQ(r.WriteProtected, 0);
    EXPECT_EQ(r.Capacity.QuadPart, 0);
    EXPECT_EQ(r.Remaining.QuadPart, 0);
    // The active partition was already taken from the configuration page.
    EXPECT_EQ(CurrentPartition(), 1u);
    EXPECT_EQ(target.received().size(), 3u);
}

TEST_F(GetMediaParametersRequest, FailuresOfUncheckedCommandsEndTheRequest)
{
    struct Row {
        size_t failing;  // 0 readiness, 1 configuration, 3 log
        Bytes sense;     // key, asc, ascq
        TAPE_STATUS status;
        std::vector<int> returned;
        ULONG current;
        ULONG blockSize;
    };
    const std::vector<Row> rows{
        {0, {0x02, 0x3A, 0x00}, TAPE_STATUS_NO_MEDIA, {2}, 2, 0},
        {1, {0x0B, 0x00, 0x00}, TAPE_STATUS_DEVICE_NOT_READY, {2, 0}, 2, 0},
        {3, {0x05, 0x24, 0x00}, TAPE_STATUS_INVALID_DEVICE_REQUEST, {2, 0, 0, 0}, 1, 512},
    };
    for (const Row& row : rows) {
        target.Clear();
        SetCurrentPartition(2);
        const std::vector<Bytes> answers{Bytes{}, ConfigAnswer(0),
                                         PartitionAnswer(0x10, 0, 2, 0, 0), Bytes{}};
        for (size_t i = 0; i <= row.failing; ++i) {
            if (i == row.failing) {
                Check(row.sense[0], row.sense[1], row.sense[2]);
            } else if (answers[i].empty()) {
                Good();
            } else {
                Data(answers[i]);
            }
        }
        const auto r = Run();
        EXPECT_EQ(status, row.status) << row.failing;
        EXPECT_EQ(Returned(), row.returned) << row.failing;
        EXPECT_EQ(target.received().size(), row.failing + 1) << row.failing;
        EXPECT_EQ(CurrentPartition(), row.current) << row.failing;
        EXPECT_EQ(r.BlockSize, row.blockSize) << row.failing;
        EXPECT_EQ(r.Capacity.QuadPart, 0) << row.failing;
    }
}

TEST_F(GetMediaParametersRequest, FailedAllocationAtEachPoint)
{
    struct Row {
        unsigned failing;
        size_t sent;
        std::vector<int> returned;
        ULONG current;
        ULONG blockSize;
        ULONG partitionCount;
    };
    for (const Row& row : {Row{1, 1, {2, 4}, 2, 0, 0}, Row{2, 2, {2, 0, 4}, 1, 0, 0},
                           Row{3, 3, {2, 0, 0, 4}, 1, 512, 1}}) {
        target.Clear();
        SetCurrentPartition(2);
        Good();
        Data(ConfigAnswer(0));
        Data(PartitionAnswer(0x90, 0, 2, 0, 0));
        const auto r = Run(FailAt(row.failing));
        EXPECT_EQ(status, TAPE_STATUS_INSUFFICIENT_RESOURCES) << row.failing;
        EXPECT_EQ(target.received().size(), row.sent) << row.failing;
        EXPECT_EQ(Returned(), row.returned) << row.failing;
        EXPECT_EQ(CurrentPartition(), row.current) << row.failing;
        EXPECT_EQ(r.BlockSize, row.blockSize) << row.failing;
        EXPECT_EQ(r.PartitionCount, row.partitionCount) << row.failing;
        EXPECT_EQ(r.WriteProtected, row.failing == 3 ? 1 : 0) << row.failing;
        EXPECT_EQ(r.Capacity.QuadPart, 0) << row.failing;
        EXPECT_EQ(r.Remaining.QuadPart, 0) << row.failing;
    }
}

// ---------------------------------------------------------------- SetMediaParameters

struct BlockRow {
    const char* name;
    ULONG blockSize;
    Bytes list;
};

class SetMediaParametersBlock : public HostFixture,
                                public ::testing::WithParamInterface<BlockRow> {};

TEST_P(SetMediaParametersBlock, SendsHeaderAndBlockDescriptorOnly)
{
    const BlockRow& row = GetParam();
    SetCurrentPartition(2);
    Good();
    Good();
    TAPE_SET_MEDIA_PARAMETERS r{row.blockSize};
    EXPECT_EQ(Run(host::Request::SetMediaParameters, &r), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(target.received().size(), 2u);
    EXPECT_EQ(target.received()[0].cdb, kTur);
    const auto& sel = target.received()[1];
    EXPECT_EQ(sel.cdb, (Bytes{0x15, 0x00, 0x00, 0x00, 0x0C, 0x00}));
    EXPECT_EQ(sel.direction, host::Direction::Out);
    EXPECT_EQ(sel.dataOut, row.list);
    EXPECT_EQ(sel.timeoutSeconds, 360u);
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0].srbFlags & kDataOut, kDataOut);
    EXPECT_EQ(Commands()[0].dataTransferLength, 12u);
    EXPECT_THAT(AllocationSizes(), ElementsAre(12u));
    EXPECT_THAT(Returned(), ElementsAre(2, 0, 3));
    EXPECT_THAT(RetryWords(), ElementsAre(0u, 0u, 0u));
    EXPECT_EQ(CurrentPartition(), 2u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Sizes, SetMediaParametersBlock,
    ::testing::Values(
        BlockRow{"Size512", 512,
                 {0x00, 0x00, 0x10, 0x08, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}},
        BlockRow{"Variable", 0,
                 {0x00, 0x00, 0x10, 0x08, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        BlockRow{"Largest", 0xFFFFFF,
                 {0x00, 0x00, 0x10, 0x08, 0x7F, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF}},
        BlockRow{"ThreeBytes", 0x012345,
                 {0x00, 0x00, 0x10, 0x08, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x01, 0x23, 0x45}}),
    [](const ::testing::TestParamInfo<BlockRow>& i) { return std::string(i.param.name); });
// clang-format on

class SetMediaParametersRequest : public HostFixture {};

TEST_F(SetMediaParametersRequest, BlockSizeBeyondTwentyFourBitsIsRefusedBeforeAllocating)
{
    for (ULONG size : {0x01000200u, 0x01000000u, 0xFFFFFFFFu}) {
        target.Clear();
        Good();
        TAPE_SET_MEDIA_PARAMETERS r{size};
        EXPECT_EQ(Run(host::Request::SetMediaParameters, &r), TAPE_STATUS_INVALID_PARAMETER);
        EXPECT_THAT(Cdbs(), ElementsAre(kTur)) << size;
        EXPECT_TRUE(AllocationSizes().empty()) << size;
        EXPECT_THAT(Returned(), ElementsAre(2, 7));
    }
}

TEST_F(SetMediaParametersRequest, FailuresAtEachStep)
{
    TAPE_SET_MEDIA_PARAMETERS r{512};
    Good();
    EXPECT_EQ(Run(host::Request::SetMediaParameters, &r, FailAt(1)),
              TAPE_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_THAT(Cdbs(), ElementsAre(kTur));
    EXPECT_THAT(Returned(), ElementsAre(2, 4));

    target.Clear();
    Check(0x02, 0x3A, 0x00);
    EXPECT_EQ(Run(host::Request::SetMediaParameters, &r), TAPE_STATUS_NO_MEDIA);
    EXPECT_THAT(Returned(), ElementsAre(2));

    target.Clear();
    Good();
    Check(0x05, 0x26, 0x00);
    EXPECT_EQ(Run(host::Request::SetMediaParameters, &r), TAPE_STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_THAT(Returned(), ElementsAre(2, 0));
}

}  // namespace

namespace {

using namespace drvtest;

// Step by step on a command block full of leftovers: every byte of each command is the
// routine's own, and the error-return request replaces the whole RetryFlags word.
TEST(GetMediaParametersSteps, EveryCommandBuiltOnACleanBlock)
{
    StepHarness h;
    TAPE_GET_MEDIA_PARAMETERS r{};
    ASSERT_EQ(h.Call(GetMediaParameters, &r, 0), TAPE_STATUS_CHECK_TEST_UNIT_READY);
    ASSERT_EQ(h.Call(GetMediaParameters, &r, 1), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x1A, 0x08, 0x10, 0x00, 0x14, 0x00}));
    EXPECT_EQ(h.srb.DataTransferLength, 20u);
    EXPECT_EQ(h.retry, 0u);
    h.Answer(Buffer(20, {{7, 0x01}}));
    ASSERT_EQ(h.Call(GetMediaParameters, &r, 2, TAPE_STATUS_SUCCESS, 0xFFFFFFFFu),
              TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x1A, 0x00, 0x11, 0x00, 0x18, 0x00}));
    EXPECT_EQ(h.srb.DataTransferLength, 24u);
    EXPECT_EQ(h.retry, 0x00020000u);
    EXPECT_EQ(h.ext.CurrentPartition, 2u);
    h.Answer(Buffer(24, {{2, 0x80}, {10, 0x02}, {15, 0x01}}));
    ASSERT_EQ(h.Call(GetMediaParameters, &r, 3), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x4D, 0x00, 0x71, 0x00, 0x00, 0x00, 0x00, 0x00, 0x24, 0x00}));
    EXPECT_EQ(h.srb.DataTransferLength, 36u);
    EXPECT_EQ(h.store.size(), 92u);
    EXPECT_EQ(h.retry, 0u);
    EXPECT_EQ(r.BlockSize, 512u);
    EXPECT_EQ(r.PartitionCount, 2u);
    EXPECT_EQ(r.WriteProtected, 1);
    ASSERT_EQ(h.Call(GetMediaParameters, &r, 4), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(h.ext.CurrentPartition, 2u);
}

TEST(GetMediaParametersSteps, PartitionAnswerStepPassesFailuresButAcceptsOverrun)
{
    for (TAPE_STATUS last : {TAPE_STATUS_NO_MEDIA, TAPE_STATUS_INVALID_DEVICE_REQUEST,
                             TAPE_STATUS_DEVICE_BUSY, TAPE_STATUS_CALLBACK}) {
        StepHarness h;
        TAPE_GET_MEDIA_PARAMETERS r{};
        ASSERT_TRUE(h.store.Allocate(24));
        h.Answer(Buffer(24, {{10, 0x02}}));
        EXPECT_EQ(h.Call(GetMediaParameters, &r, 3, last), last);
        EXPECT_EQ(r.BlockSize, 0u);
        EXPECT_EQ(h.store.allocations(), 1u);
    }
    StepHarness h;
    TAPE_GET_MEDIA_PARAMETERS r{};
    ASSERT_TRUE(h.store.Allocate(24));
    h.Answer(Buffer(24, {{10, 0x02}}));
    EXPECT_EQ(h.Call(GetMediaParameters, &r, 3, TAPE_STATUS_DATA_OVERRUN),
              TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(r.BlockSize, 512u);
}

TEST(SetMediaParametersSteps, ModeSelectBuiltOnACleanBlock)
{
    StepHarness h;
    TAPE_SET_MEDIA_PARAMETERS r{0x000400};
    ASSERT_EQ(h.Call(SetMediaParameters, &r, 0), TAPE_STATUS_CHECK_TEST_UNIT_READY);
    ASSERT_EQ(h.Call(SetMediaParameters, &r, 1), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x15, 0x00, 0x00, 0x00, 0x0C, 0x00}));
    EXPECT_EQ(h.srb.SrbFlags, 0x80u);
    EXPECT_EQ(Bytes(h.Data(), h.Data() + 12),
              (Bytes{0x00, 0x00, 0x10, 0x08, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00}));
    EXPECT_EQ(h.Call(SetMediaParameters, &r, 2, TAPE_STATUS_IO_DEVICE_ERROR), TAPE_STATUS_SUCCESS);
}

}  // namespace
