// The mode buffer helpers: obtaining the buffer for MODE SENSE, and what a request reports
// from the drive's answer found in it on the step after.
#include "tests/driver/support.h"

namespace {

using namespace drvtest;

using Allocate = BOOLEAN (*)(PSCSI_REQUEST_BLOCK, PMINITAPE_EXTENSION, PUCHAR*, PUCHAR*, PUCHAR*,
                             PULONG);
using Locate = VOID (*)(PSCSI_REQUEST_BLOCK, PMINITAPE_EXTENSION, PUCHAR*, PUCHAR*, PUCHAR*,
                        PULONG);

struct PageRow {
    const char* name;
    Allocate allocate;
    Locate locate;
    ULONG length;
    uint8_t pageCode;
    uint8_t cdb1After;  // Cdb[1] after allocating on a block whose Cdb[1] was 0x01
};

class ModeBuffers : public ::testing::TestWithParam<PageRow> {};

TEST_P(ModeBuffers, AllocateHandsOutAZeroedBufferOfThePagesLength)
{
    const PageRow& row = GetParam();
    StepHarness h;
    std::memset(h.srb.Cdb, 0, sizeof(h.srb.Cdb));
    h.srb.Cdb[1] = 0x01;
    UCHAR sentinel = 0;
    PUCHAR header = nullptr;
    PUCHAR descriptor = &sentinel;
    PUCHAR page = nullptr;
    ULONG length = 0;
    ASSERT_TRUE(row.allocate(&h.srb, &h.ext, &header, &descriptor, &page, &length));
    EXPECT_EQ(h.store.size(), row.length);
    EXPECT_EQ(length, row.length);
    EXPECT_EQ(descriptor, nullptr);
    EXPECT_EQ(Bytes(h.Data(), h.Data() + row.length), Bytes(row.length, 0));
    // Only DBD may join what the command already held.
    EXPECT_EQ(h.srb.Cdb[1], row.cdb1After);
}

TEST_P(ModeBuffers, FailedAllocationReturnsFalseAndLeavesOutputs)
{
    const PageRow& row = GetParam();
    StepHarness h(1u);
    std::memset(h.srb.Cdb, 0, sizeof(h.srb.Cdb));
    h.srb.Cdb[1] = 0x01;
    UCHAR a = 0, b = 0, c = 0;
    PUCHAR header = &a, descriptor = &b, page = &c;
    ULONG length = 0x5A5A5A5Au;
    EXPECT_FALSE(row.allocate(&h.srb, &h.ext, &header, &descriptor, &page, &length));
    EXPECT_EQ(header, &a);
    EXPECT_EQ(descriptor, &b);
    EXPECT_EQ(page, &c);
    EXPECT_EQ(length, 0x5A5A5A5Au);
}

INSTANTIATE_TEST_SUITE_P(Pages, ModeBuffers,
                         ::testing::Values(PageRow{"MediumPartition", &LocalAllocatePartPage,
                                                   &LocalGetPartPageData, 16, 0x11, 0x01},
                                           PageRow{"DeviceConfiguration", &LocalAllocateConfigPage,
                                                   &LocalGetConfigPageData, 20, 0x10, 0x09},
                                           PageRow{"DataCompression", &LocalAllocateCompressPage,
                                                   &LocalGetCompressPageData, 20, 0x0F, 0x09}),
                         [](const ::testing::TestParamInfo<PageRow>& info) {
                             return std::string(info.param.name);
                         });

// What GetDriveParameters reports is read from the pages the drive answered, one step after
// the buffer was handed out: the setmark bit of the configuration page and the compression bit
// of the compression page each decide their own field, whatever the bytes around them hold.
struct ReportedRow {
    const char* name;
    uint8_t configByte8;    // RSmk is 0x20
    uint8_t compressByte2;  // DCE 0x80, DCC 0x40
    BOOLEAN reportSetmarks;
    BOOLEAN compression;
};

class ReportedFromPages : public HostFixture, public ::testing::WithParamInterface<ReportedRow> {};

TEST_P(ReportedFromPages, EachFieldFollowsItsBit)
{
    const ReportedRow& row = GetParam();
    Bytes config(20, 0xFF);
    config[0] = 0x13;  // mode data length
    config[3] = 0x00;  // no block descriptor
    config[4] = 0x10;
    config[5] = 0x0E;
    config[4 + 8] = row.configByte8;
    Bytes compress(20, 0xFF);
    compress[0] = 0x13;
    compress[3] = 0x00;
    compress[4] = 0x0F;
    compress[5] = 0x0E;
    compress[4 + 2] = row.compressByte2;
    Data(config);
    Data(compress);
    Data({0xFF, 0x01, 0x00, 0x00, 0x00, 0x04});
    TAPE_GET_DRIVE_PARAMETERS r{};
    ASSERT_EQ(Run(host::Request::GetDriveParameters, &r), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.ReportSetmarks, row.reportSetmarks);
    EXPECT_EQ(r.Compression, row.compression);
}

INSTANTIATE_TEST_SUITE_P(Bits, ReportedFromPages,
                         ::testing::Values(ReportedRow{"BothOn", 0x20, 0xC0, 1, 1},
                                           ReportedRow{"SetmarksOnlyBitSet", 0x20, 0x40, 1, 0},
                                           ReportedRow{"CompressionOnlyBitSet", 0x00, 0xC0, 0, 1},
                                           ReportedRow{"EveryOtherBitSet", 0xDF, 0x7F, 0, 0}),
                         [](const ::testing::TestParamInfo<ReportedRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
