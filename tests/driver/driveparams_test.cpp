// Reporting the drive's limits and features; setting setmark reporting and compression.
#include "tests/driver/support.h"

namespace {

using namespace drvtest;
using ::testing::ElementsAre;

const Bytes kSenseConfig{0x1A, 0x08, 0x10, 0x00, 0x14, 0x00};
const Bytes kSenseCompress{0x1A, 0x08, 0x0F, 0x00, 0x14, 0x00};
const Bytes kBlockLimits{0x05, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kSelect20{0x15, 0x10, 0x00, 0x00, 0x14, 0x00};

// Device configuration answer: header, page 0x10 with PS clear and bit 6 set, RSmk byte given.
Bytes ConfigAnswer(uint8_t rsmkByte)
{
    return Bytes{0x13, 0x05, 0x90,     0x00, 0x50, 0x0C, 0x41, 0x01, 0x22, 0x33,
                 0x44, 0x55, rsmkByte, 0x66, 0x77, 0x88, 0x99, 0xAA, 0x01, 0xBB};
}
// Data compression answer: header, page 0x0F with PS set, DCE/DCC byte given.
Bytes CompressAnswer(uint8_t dceByte)
{
    return Bytes{0x13, 0x05, 0x90, 0x00, 0xBF, 0x0C, dceByte, 0x05, 0x11, 0x22,
                 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,    0xAA, 0xBB, 0xCC};
}

// ---------------------------------------------------------------- GetDriveParameters

class GetDriveParametersRequest : public HostFixture {
protected:
    TAPE_GET_DRIVE_PARAMETERS Run()
    {
        TAPE_GET_DRIVE_PARAMETERS r;
        std::memset(&r, 0xA5, sizeof(r));  // leftovers call 0 must clear
        status = HostFixture::Run(host::Request::GetDriveParameters, &r, options);
        return r;
    }
    void ExpectNoModeSelect()
    {
        for (const auto& c : target.received()) {
            EXPECT_NE(c.cdb.at(0), 0x15);
        }
    }
    TAPE_STATUS status = TAPE_STATUS_SUCCESS;
    host::RunOptions options;
};

TEST_F(GetDriveParametersRequest, CompressionCapableDriveReportsEverything)
{
    Data(ConfigAnswer(0x20));
    Data(CompressAnswer(0xC0));
    Data({0xFF, 0x01, 0x00, 0x00, 0x00, 0x04});
    const auto r = Run();
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_THAT(Cdbs(), ElementsAre(kSenseConfig, kSenseCompress, kBlockLimits));
    for (const auto& c : target.received()) {
        EXPECT_EQ(c.timeoutSeconds, 360u);
        EXPECT_EQ(c.direction, host::Direction::In);
    }
    const auto cmds = Commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0].dataTransferLength, 20u);
    EXPECT_EQ(cmds[1].dataTransferLength, 20u);
    EXPECT_EQ(cmds[2].dataTransferLength, 6u);
    for (const auto& c : cmds) {
        EXPECT_EQ(c.srbFlags & kDataOut, 0u);
    }
    EXPECT_THAT(AllocationSizes(), ElementsAre(20u, 20u, 6u));
    EXPECT_THAT(Returned(), ElementsAre(0, 0, 1, 0, 3));
    EXPECT_THAT(RetryWords(), ElementsAre(kReturnErrors, kReturnErrors, 0u, kReturnErrors, 0u));

    EXPECT_EQ(r.ECC, 0);
    EXPECT_EQ(r.Compression, 1);
    EXPECT_EQ(r.DataPadding, 0);
    EXPECT_EQ(r.ReportSetmarks, 1);
    EXPECT_EQ(r.DefaultBlockSize, 512u);
    EXPECT_EQ(r.MaximumBlockSize, 65536u);
    EXPECT_EQ(r.MinimumBlockSize, 4u);
    EXPECT_EQ(r.MaximumPartitionCount, 2u);
    EXPECT_EQ(r.FeaturesLow, 0x013A1FA4u);
    EXPECT_EQ(r.FeaturesHigh, 0x137FFA3Du);
    EXPECT_EQ(r.EOTWarningZoneSize, 0u);
    ExpectNoModeSelect();
}

struct PagesRow {
    const char* name;
    uint8_t rsmkByte;
    uint8_t dceByte;
    BOOLEAN reportSetmarks;
    BOOLEAN compression;
    ULONG featuresLow;
    ULONG featuresHigh;
};

class GetDriveParametersPages : public GetDriveParametersRequest,
                                public ::testing::WithParamInterface<PagesRow> {};

TEST_P(GetDriveParametersPages, FieldsAndFlagsFollowThePages)
{
    const PagesRow& row = GetParam();
    Data(ConfigAnswer(row.rsmkByte));
    Data(CompressAnswer(row.dceByte));
    Data({0x00, 0x12, 0x34, 0x56, 0xAB, 0xCD});
    const auto r = Run();
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.ReportSetmarks, row.reportSetmarks);
    EXPECT_EQ(r.Compression, row.compression);
    EXPECT_EQ(r.FeaturesLow, row.featuresLow);
    EXPECT_EQ(r.FeaturesHigh, row.featuresHigh);
    EXPECT_EQ(r.MaximumBlockSize, 0x123456u);
    EXPECT_EQ(r.MinimumBlockSize, 0xABCDu);
    ExpectNoModeSelect();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Answers, GetDriveParametersPages,
    ::testing::Values(
        PagesRow{"DccSetDceClear", 0x20, 0x40, 1, 0, 0x013A1FA4u, 0x137FFA3Du},
        PagesRow{"DccSetDceSetOtherBits", 0x00, 0xFF, 0, 1, 0x013A1FA4u, 0x137FFA3Du},
        PagesRow{"DccClearDceSet", 0x20, 0x80, 1, 0, 0x01381FA4u, 0x137FF83Du},
        PagesRow{"DccClearAllOtherBits", 0xDF, 0xBF, 0, 0, 0x01381FA4u, 0x137FF83Du},
        PagesRow{"RsmkAmongOtherBits", 0xFF, 0x00, 1, 0, 0x01381FA4u, 0x137FF83Du}),
    [](const ::testing::TestParamInfo<PagesRow>& i) { return std::string(i.param.name); });
// clang-format on

TEST_F(GetDriveParametersRequest, RefusedCompressionPageLeavesCompressionUnreported)
{
    Data(ConfigAnswer(0x20));
    Check(0x05, 0x24, 0x00);
    Data({0x00, 0x00, 0x04, 0x00, 0x00, 0x01});
    const auto r = Run();
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_THAT(Cdbs(), ElementsAre(kSenseConfig, kSenseCompress, kBlockLimits));
    EXPECT_THAT(Returned(), ElementsAre(0, 0, 1, 0, 3));
    EXPECT_EQ(r.Compression, 0);
    EXPECT_EQ(r.ReportSetmarks, 1);
    EXPECT_EQ(r.FeaturesLow, 0x01381FA4u);
    EXPECT_EQ(r.FeaturesHigh, 0x137FF83Du);
    EXPECT_EQ(r.MaximumBlockSize, 1024u);
    EXPECT_EQ(r.MinimumBlockSize, 1u);
}

TEST_F(GetDriveParametersRequest, NoTapeStillSucceedsWithZeroBlockSizes)
{
    Check(0x02, 0x3A, 0x00);
    Check(0x02, 0x3A, 0x00);
    Check(0x02, 0x3A, 0x00);
    const auto r = Run();
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_THAT(Cdbs(), ElementsAre(kSenseConfig, kSenseCompress, kBlockLimits));
    EXPECT_THAT(Returned(), ElementsAre(0, 0, 1, 0, 3));
    EXPECT_EQ(r.ECC, 0);
    EXPECT_EQ(r.Compression, 0);
    EXPECT_EQ(r.DataPadding, 0);
    EXPECT_EQ(r.ReportSetmarks, 0);
    EXPECT_EQ(r.DefaultBlockSize, 512u);
    EXPECT_EQ(r.MaximumBlockSize, 0u);
    EXPECT_EQ(r.MinimumBlockSize, 0u);
    EXPECT_EQ(r.MaximumPartitionCount, 2u);
    EXPECT_EQ(r.FeaturesLow, 0x01381FA4u);
    EXPECT_EQ(r.FeaturesHigh, 0x137FF83Du);
    EXPECT_EQ(r.EOTWarningZoneSize, 0u);
}

TEST_F(GetDriveParametersRequest, NoTapeOnBlockLimitsOnlyGivesZeroSizes)
{
    Data(ConfigAnswer(0x20));
    Data(CompressAnswer(0xC0));
    Check(0x02, 0x3A, 0x00);
    const auto r = Run();
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Compression, 1);
    EXPECT_EQ(r.ReportSetmarks, 1);
    EXPECT_EQ(r.MaximumBlockSize, 0u);
    EXPECT_EQ(r.MinimumBlockSize, 0u);
    EXPECT_EQ(r.FeaturesLow, 0x013A1FA4u);
}

struct GetFailRow {
    const char* name;
    size_t failingCommand;  // 0-based among the three
    uint8_t key, asc, ascq;
    TAPE_STATUS status;
    std::vector<int> returned;
};

class GetDriveParametersFailure : public GetDriveParametersRequest,
                                  public ::testing::WithParamInterface<GetFailRow> {};

TEST_P(GetDriveParametersFailure, EndsOnTheCallAfterTheFailedCommand)
{
    const GetFailRow& row = GetParam();
    const std::vector<Bytes> answers{ConfigAnswer(0x20), CompressAnswer(0xC0),
                                     Bytes{0, 0, 4, 0, 0, 1}};
    for (size_t i = 0; i < 3; ++i) {
        if (i == row.failingCommand) {
            Check(row.key, row.asc, row.ascq);
        } else {
            Data(answers[i]);
        }
    }
    Run();
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(target.received().size(), row.failingCommand + 1);
    EXPECT_EQ(Returned(), row.returned);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Steps, GetDriveParametersFailure,
    ::testing::Values(
        GetFailRow{"ConfigRefused", 0, 0x05, 0x24, 0x00, TAPE_STATUS_INVALID_DEVICE_REQUEST,
                   {0, 6}},
        GetFailRow{"ConfigAborted", 0, 0x0B, 0x00, 0x00, TAPE_STATUS_DEVICE_NOT_READY, {0, 20}},
        GetFailRow{"CompressAborted", 1, 0x0B, 0x00, 0x00, TAPE_STATUS_DEVICE_NOT_READY,
                   {0, 0, 20}},
        GetFailRow{"BlockLimitsRefused", 2, 0x05, 0x20, 0x00,
                   TAPE_STATUS_INVALID_DEVICE_REQUEST, {0, 0, 1, 0, 6}},
        GetFailRow{"BlockLimitsAborted", 2, 0x0B, 0x00, 0x00, TAPE_STATUS_DEVICE_NOT_READY,
                   {0, 0, 1, 0, 20}}),
    [](const ::testing::TestParamInfo<GetFailRow>& i) { return std::string(i.param.name); });
// clang-format on

TEST_F(GetDriveParametersRequest, ShortConfigurationAnswerEndsWithDataOverrun)
{
    Data(Bytes(12, 0));
    Run();
    EXPECT_EQ(status, TAPE_STATUS_DATA_OVERRUN);
    EXPECT_THAT(Returned(), ElementsAre(0, 27));
}

TEST_F(GetDriveParametersRequest, FailedAllocationAtEachPoint)
{
    struct Row {
        unsigned failing;
        size_t sent;
        std::vector<int> returned;
    };
    for (const Row& row : {Row{1, 0, {4}}, Row{2, 1, {0, 4}}, Row{3, 2, {0, 0, 1, 4}}}) {
        target.Clear();
        Data(ConfigAnswer(0x20));
        Data(CompressAnswer(0xC0));
        options = FailAt(row.failing);
        Run();
        EXPECT_EQ(status, TAPE_STATUS_INSUFFICIENT_RESOURCES) << row.failing;
        EXPECT_EQ(target.received().size(), row.sent) << row.failing;
        EXPECT_EQ(Returned(), row.returned) << row.failing;
    }
}

// ---------------------------------------------------------------- SetDriveParameters

class SetDriveParametersRequest : public HostFixture {
protected:
    void RunSet(BOOLEAN reportSetmarks, BOOLEAN compression, const host::RunOptions& options = {})
    {
        TAPE_SET_DRIVE_PARAMETERS r{};
        r.ECC = 1;
        r.DataPadding = 1;
        r.EOTWarningZoneSize = 77;
        r.ReportSetmarks = reportSetmarks;
        r.Compression = compression;
        status = Run(host::Request::SetDriveParameters, &r, options);
        EXPECT_EQ(r.ReportSetmarks, reportSetmarks);  // the record is only read
        EXPECT_EQ(r.Compression, compression);
    }
    TAPE_STATUS status = TAPE_STATUS_SUCCESS;
};

TEST_F(SetDriveParametersRequest, WritesBothPagesBackEditedInPlace)
{
    Data(ConfigAnswer(0x5F));
    Good();
    Data(CompressAnswer(0x5F));
    Good();
    RunSet(1, 1);
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_THAT(Cdbs(), ElementsAre(kSenseConfig, kSelect20, kSenseCompress, kSelect20));
    const auto& rx = target.received();
    EXPECT_EQ(rx[1].direction, host::Direction::Out);
    EXPECT_EQ(rx[1].dataOut, (Bytes{0x00, 0x00, 0x10, 0x00, 0x50, 0x0E, 0x41, 0x01, 0x22, 0x33,
                                    0x44, 0x55, 0x7F, 0x66, 0x77, 0x88, 0x99, 0xAA, 0x01, 0xBB}));
    EXPECT_EQ(rx[3].direction, host::Direction::Out);
    EXPECT_EQ(rx[3].dataOut, (Bytes{0x00, 0x00, 0x10, 0x00, 0x8F, 0x0E, 0xDF, 0x85, 0x00, 0x00,
                                    0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x99, 0xAA, 0xBB, 0xCC}));
    for (const auto& c : rx) {
        EXPECT_EQ(c.timeoutSeconds, 360u);
    }
    EXPECT_EQ(rx[0].direction, host::Direction::In);
    EXPECT_EQ(rx[2].direction, host::Direction::In);
    const auto cmds = Commands();
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0].srbFlags & kDataOut, 0u);
    EXPECT_EQ(cmds[1].srbFlags & kDataOut, kDataOut);
    EXPECT_EQ(cmds[2].srbFlags & kDataOut, 0u);
    EXPECT_EQ(cmds[3].srbFlags & kDataOut, kDataOut);
    for (const auto& c : cmds) {
        EXPECT_EQ(c.dataTransferLength, 20u);
    }
    EXPECT_THAT(AllocationSizes(), ElementsAre(20u, 20u));
    EXPECT_THAT(Returned(), ElementsAre(0, 0, 0, 0, 3));
    EXPECT_THAT(RetryWords(), ElementsAre(kReturnErrors, 0u, kReturnErrors, 0u, 0u));
}

TEST_F(SetDriveParametersRequest, ClearingSetsDdeAndZeroesBothAlgorithms)
{
    Data(ConfigAnswer(0xFF));
    Good();
    Data(CompressAnswer(0xDF));
    Good();
    RunSet(0, 0);
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    ASSERT_EQ(target.received().size(), 4u);
    EXPECT_EQ(target.received()[1].dataOut.at(12), 0xDF);
    EXPECT_EQ(target.received()[3].dataOut,
              (Bytes{0x00, 0x00, 0x10, 0x00, 0x8F, 0x0E, 0x5F, 0x85, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x99, 0xAA, 0xBB, 0xCC}));
}

TEST_F(SetDriveParametersRequest, AnyNonzeroByteMeansTrueAndUnchangedBitsAreStillSent)
{
    for (BOOLEAN value : {BOOLEAN(2), BOOLEAN(0xFF)}) {
        target.Clear();
        Data(ConfigAnswer(0x20));  // RSmk already on
        Good();
        Data(CompressAnswer(0xC0));  // compression already on
        Good();
        RunSet(value, value);
        EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
        ASSERT_EQ(target.received().size(), 4u) << int(value);
        EXPECT_EQ(target.received()[1].dataOut.at(12), 0x20);
        EXPECT_EQ(target.received()[3].dataOut.at(6), 0xC0);
        EXPECT_EQ(target.received()[3].dataOut.at(11), 0x20);
    }
}

TEST_F(SetDriveParametersRequest, RefusedCompressionPageEndsWithSuccessAfterConfiguration)
{
    Data(ConfigAnswer(0x00));
    Good();
    Check(0x05, 0x24, 0x00);
    RunSet(1, 1);
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_THAT(Cdbs(), ElementsAre(kSenseConfig, kSelect20, kSenseCompress));
    EXPECT_THAT(Returned(), ElementsAre(0, 0, 0, 3));
}

TEST_F(SetDriveParametersRequest, CompressionIncapableDriveGetsNoCompressionSelect)
{
    Data(ConfigAnswer(0x00));
    Good();
    Data(CompressAnswer(0x80));  // DCE set, DCC clear
    RunSet(0, 1);
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_THAT(Cdbs(), ElementsAre(kSenseConfig, kSelect20, kSenseCompress));
    EXPECT_THAT(Returned(), ElementsAre(0, 0, 0, 3));
}

TEST_F(SetDriveParametersRequest, FailedConfigurationSenseSkipsOnlyTheSetmarkChange)
{
    Check(0x05, 0x24, 0x00);
    Data(CompressAnswer(0x40));
    Good();
    RunSet(1, 1);
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    EXPECT_THAT(Cdbs(), ElementsAre(kSenseConfig, kSenseCompress, kSelect20));
    EXPECT_THAT(Returned(), ElementsAre(0, 1, 0, 0, 3));
    EXPECT_THAT(RetryWords(), ElementsAre(kReturnErrors, 0u, kReturnErrors, 0u, 0u));
    EXPECT_EQ(target.received()[2].dataOut.at(6), 0xC0);
}

// A failed compression MODE SENSE other than a refusal ends the request with its status;
// the buffer it left is never sent back as a MODE SELECT.
struct CompressFailRow {
    const char* name;
    bool configOk;
    host::Reply reply;
    TAPE_STATUS status;
};

class SetDriveParametersCompressFailure : public SetDriveParametersRequest,
                                          public ::testing::WithParamInterface<CompressFailRow> {};

TEST_P(SetDriveParametersCompressFailure, EndsWithThatStatusAndSendsNoSelect)
{
    const CompressFailRow& row = GetParam();
    if (row.configOk) {
        Data(ConfigAnswer(0x00));
        Good();
    } else {
        Check(0x02, 0x3A, 0x00);
    }
    target.Push(row.reply);
    Good();  // would answer a compression MODE SELECT
    RunSet(1, 1);
    EXPECT_EQ(status, row.status);
    for (size_t i = 0; i < target.received().size(); ++i) {
        if (target.received()[i].cdb.at(0) == 0x15) {
            EXPECT_EQ(i, 1u) << "only the configuration page may be selected";
        }
    }
    EXPECT_EQ(target.received().back().cdb, kSenseCompress);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Statuses, SetDriveParametersCompressFailure,
    ::testing::Values(
        CompressFailRow{"NoTapeThroughout", false, host::Reply::Check(0x02, 0x3A, 0x00),
                        TAPE_STATUS_NO_MEDIA},
        CompressFailRow{"NoTapeOnCompression", true, host::Reply::Check(0x02, 0x3A, 0x00),
                        TAPE_STATUS_NO_MEDIA},
        CompressFailRow{"Aborted", true, host::Reply::Check(0x0B, 0x00, 0x00),
                        TAPE_STATUS_DEVICE_NOT_READY},
        // A short answer with DCC set: bytes never sent must not become a MODE SELECT.
        CompressFailRow{"ShortAnswer", true,
                        host::Reply::Data({0x13, 0x05, 0x90, 0x00, 0x8F, 0x0E, 0x40, 0x00}),
                        TAPE_STATUS_DATA_OVERRUN}),
    [](const ::testing::TestParamInfo<CompressFailRow>& i) { return std::string(i.param.name); });
// clang-format on

TEST_F(SetDriveParametersRequest, FailedModeSelectEndsTheRequest)
{
    Data(ConfigAnswer(0x00));
    Check(0x05, 0x26, 0x00);
    RunSet(1, 1);
    EXPECT_EQ(status, TAPE_STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(target.received().size(), 2u);
    EXPECT_THAT(Returned(), ElementsAre(0, 0));

    target.Clear();
    Data(ConfigAnswer(0x00));
    Good();
    Data(CompressAnswer(0x40));
    Check(0x0B, 0x00, 0x00);
    RunSet(1, 1);
    EXPECT_EQ(status, TAPE_STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(target.received().size(), 4u);
    EXPECT_THAT(Returned(), ElementsAre(0, 0, 0, 0));
}

TEST_F(SetDriveParametersRequest, FailedAllocationAtEachPoint)
{
    Data(ConfigAnswer(0x00));
    RunSet(1, 1, FailAt(1));
    EXPECT_EQ(status, TAPE_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(target.received().empty());
    EXPECT_THAT(Returned(), ElementsAre(4));

    target.Clear();
    Data(ConfigAnswer(0x00));
    Good();
    RunSet(1, 1, FailAt(2));
    EXPECT_EQ(status, TAPE_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_THAT(Cdbs(), ElementsAre(kSenseConfig, kSelect20));
    EXPECT_THAT(Returned(), ElementsAre(0, 0, 4));
}

// Step level: LastStatus handling that the host cannot produce.
TEST(SetDriveParametersSteps, CallAfterTheLastSelectSucceedsWithoutLooking)
{
    StepHarness h;
    TAPE_SET_DRIVE_PARAMETERS r{};
    for (ULONG call : {4u, 5u}) {
        EXPECT_EQ(h.Call(SetDriveParameters, &r, call, TAPE_STATUS_IO_DEVICE_ERROR),
                  TAPE_STATUS_SUCCESS);
    }
}

TEST(GetDriveParametersSteps, BlockLimitsStepAcceptsCallbackSuccessAndNoMedia)
{
    for (TAPE_STATUS last : {TAPE_STATUS_CALLBACK, TAPE_STATUS_SUCCESS, TAPE_STATUS_NO_MEDIA}) {
        StepHarness h;
        TAPE_GET_DRIVE_PARAMETERS r{};
        ASSERT_EQ(h.Call(GetDriveParameters, &r, 3, last), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
        EXPECT_EQ(h.Cdb(), kBlockLimits);
        EXPECT_EQ(h.srb.DataTransferLength, 6u);
        EXPECT_EQ(h.retry, kReturnErrors);
    }
    StepHarness h;
    TAPE_GET_DRIVE_PARAMETERS r{};
    EXPECT_EQ(h.Call(GetDriveParameters, &r, 3, TAPE_STATUS_DEVICE_BUSY), TAPE_STATUS_DEVICE_BUSY);
    EXPECT_EQ(h.store.allocations(), 0u);
}

TEST(GetDriveParametersSteps, ReturnErrorsReplacesTheWholeWord)
{
    StepHarness h;
    TAPE_GET_DRIVE_PARAMETERS r{};
    h.retry = 0xFFFFFFFFu;
    std::memset(h.srb.Cdb, 0xEE, sizeof(h.srb.Cdb));
    ASSERT_EQ(GetDriveParameters(&h.ext, &h.cmd, &r, &h.srb, 0, TAPE_STATUS_SUCCESS, &h.retry),
              TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.retry, kReturnErrors);
    EXPECT_EQ(h.Cdb(), kSenseConfig);
    EXPECT_EQ(h.srb.Cdb[6], 0);
    EXPECT_EQ(h.srb.Cdb[11], 0);
}

}  // namespace

namespace {

using namespace drvtest;

TEST(SetDriveParametersSteps, EveryCommandBuiltOnACleanBlock)
{
    StepHarness h;
    TAPE_SET_DRIVE_PARAMETERS r{};
    r.ReportSetmarks = 1;
    r.Compression = 1;
    ASSERT_EQ(h.Call(SetDriveParameters, &r, 0, TAPE_STATUS_SUCCESS, 0x1u),
              TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x1A, 0x08, 0x10, 0x00, 0x14, 0x00}));
    EXPECT_EQ(h.retry, 0x00020000u);
    h.Answer(ConfigAnswer(0x00));
    ASSERT_EQ(h.Call(SetDriveParameters, &r, 1), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x15, 0x10, 0x00, 0x00, 0x14, 0x00}));
    EXPECT_EQ(h.srb.SrbFlags, 0x80u);
    EXPECT_EQ(h.srb.DataTransferLength, 20u);
    EXPECT_EQ(h.retry, 0u);
    ASSERT_EQ(h.Call(SetDriveParameters, &r, 2), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x1A, 0x08, 0x0F, 0x00, 0x14, 0x00}));
    EXPECT_EQ(h.retry, 0x00020000u);
    h.Answer(CompressAnswer(0x40));
    ASSERT_EQ(h.Call(SetDriveParameters, &r, 3), TAPE_STATUS_SEND_SRB_AND_CALLBACK);
    EXPECT_EQ(h.Cdb(), (Bytes{0x15, 0x10, 0x00, 0x00, 0x14, 0x00}));
    EXPECT_EQ(h.srb.SrbFlags, 0x80u);
    EXPECT_EQ(h.retry, 0u);
    EXPECT_EQ(h.srb.TimeOutValue, 360u);
}

TEST(GetDriveParametersSteps, CompressionStepDecidesWithoutACommand)
{
    struct Row {
        TAPE_STATUS last;
        uint8_t dceByte;
        TAPE_STATUS returned;
        BOOLEAN compression;
        ULONG low;
        ULONG high;
    };
    for (const Row& row :
         {Row{TAPE_STATUS_INVALID_DEVICE_REQUEST, 0xC0, TAPE_STATUS_CALLBACK, 0, 0, 0},
          Row{TAPE_STATUS_SUCCESS, 0xC0, TAPE_STATUS_CALLBACK, 1, 0x00020000u, 0x80000200u},
          Row{TAPE_STATUS_NO_MEDIA, 0x40, TAPE_STATUS_CALLBACK, 0, 0x00020000u, 0x80000200u},
          Row{TAPE_STATUS_SUCCESS, 0x80, TAPE_STATUS_CALLBACK, 0, 0, 0},
          Row{TAPE_STATUS_DEVICE_BUSY, 0xC0, TAPE_STATUS_DEVICE_BUSY, 0, 0, 0}}) {
        StepHarness h;
        TAPE_GET_DRIVE_PARAMETERS r{};
        ASSERT_TRUE(h.store.Allocate(20));
        h.Answer(CompressAnswer(row.dceByte));
        EXPECT_EQ(h.Call(GetDriveParameters, &r, 2, row.last), row.returned);
        EXPECT_EQ(r.Compression, row.compression);
        EXPECT_EQ(r.FeaturesLow, row.low);
        // Bit 31 may still be there until the last step takes it out.
        EXPECT_EQ(r.FeaturesHigh & 0x7FFFFFFFu, row.high & 0x7FFFFFFFu);
        EXPECT_EQ(h.retry, 0u);
        EXPECT_EQ(h.store.allocations(), 1u);
    }
}

}  // namespace
