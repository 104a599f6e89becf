// The mode buffer helpers: obtaining the buffer for MODE SENSE and finding the drive's
// answer in it on the step after.
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
    uint8_t cdb1After;  // Cdb[1] after allocating on a block whose Cdb[1] was 0x01
};

class ModeBuffers : public ::testing::TestWithParam<PageRow> {};

TEST_P(ModeBuffers, AllocateHandsOutZeroedBufferWithPageAtByteFour)
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
    ASSERT_NE(h.srb.DataBuffer, nullptr);
    EXPECT_EQ(h.store.size(), row.length);
    EXPECT_EQ(header, h.srb.DataBuffer);
    EXPECT_EQ(descriptor, nullptr);
    EXPECT_EQ(page, static_cast<PUCHAR>(h.srb.DataBuffer) + 4);
    EXPECT_EQ(length, row.length);
    EXPECT_EQ(Bytes(h.Data(), h.Data() + row.length), Bytes(row.length, 0));
    EXPECT_EQ(h.srb.Cdb[1], row.cdb1After);
    for (int i : {0, 2, 3, 4, 5}) {
        EXPECT_EQ(h.srb.Cdb[i], 0) << "Cdb[" << i << "]";
    }
    EXPECT_EQ(h.ext.DriveType, 13u);
    EXPECT_EQ(h.ext.CurrentPartition, 0u);
}

TEST_P(ModeBuffers, LocateOnTheNextStepFindsTheSameAnswer)
{
    const PageRow& row = GetParam();
    StepHarness h;
    PUCHAR header1 = nullptr, descriptor1 = nullptr, page1 = nullptr;
    ULONG length1 = 0;
    ASSERT_TRUE(row.allocate(&h.srb, &h.ext, &header1, &descriptor1, &page1, &length1));
    h.Data()[4] = 0x90;  // the drive's answer
    h.srb.Cdb[1] = 0x00;

    UCHAR sentinel = 0;
    PUCHAR header2 = nullptr, descriptor2 = &sentinel, page2 = nullptr;
    ULONG length2 = 0;
    row.locate(&h.srb, &h.ext, &header2, &descriptor2, &page2, &length2);
    EXPECT_EQ(header2, header1);
    EXPECT_EQ(descriptor2, nullptr);
    EXPECT_EQ(page2, page1);
    EXPECT_EQ(length2, row.length);
    EXPECT_EQ(page2[0], 0x90);
    EXPECT_EQ(h.store.allocations(), 1u);  // locating never allocates
    EXPECT_EQ(h.srb.Cdb[1], 0x00);         // nor touches the command
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
    // DBD goes into the command before the allocation, so it is there even now.
    EXPECT_EQ(h.srb.Cdb[1], row.cdb1After);
}

INSTANTIATE_TEST_SUITE_P(Pages, ModeBuffers,
                         ::testing::Values(PageRow{"MediumPartition", &LocalAllocatePartPage,
                                                   &LocalGetPartPageData, 16, 0x01},
                                           PageRow{"DeviceConfiguration", &LocalAllocateConfigPage,
                                                   &LocalGetConfigPageData, 20, 0x09},
                                           PageRow{"DataCompression", &LocalAllocateCompressPage,
                                                   &LocalGetCompressPageData, 20, 0x09}),
                         [](const ::testing::TestParamInfo<PageRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
