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

// The drive answers MODE SENSE with DBD by a four-byte header and the page right after it:
// what the helpers hand out must read that answer field by field.
TEST_P(ModeBuffers, HeaderAndPageReadTheDrivesAnswer)
{
    const PageRow& row = GetParam();
    StepHarness h;
    PUCHAR header1 = nullptr, descriptor1 = nullptr, page1 = nullptr;
    ULONG length1 = 0;
    ASSERT_TRUE(row.allocate(&h.srb, &h.ext, &header1, &descriptor1, &page1, &length1));
    Bytes answer(row.length, 0);
    answer[0] = static_cast<uint8_t>(row.length - 1);  // mode data length
    answer[2] = 0x90;                                  // WP, buffered mode 1
    answer[4] = static_cast<uint8_t>(0x80 | row.pageCode);
    answer[5] = static_cast<uint8_t>(row.length - 6);
    answer[row.length - 1] = 0xA5;  // the page's last byte
    h.Answer(answer);
    EXPECT_EQ(header1[0], row.length - 1);
    EXPECT_EQ(header1[2], 0x90);
    EXPECT_EQ(page1[0] & 0x3F, row.pageCode);
    EXPECT_EQ(page1[1], row.length - 6);
    EXPECT_EQ(page1[length1 - 4 - 1], 0xA5);
}

TEST_P(ModeBuffers, LocateOnTheNextStepFindsTheSameAnswer)
{
    const PageRow& row = GetParam();
    StepHarness h;
    PUCHAR header1 = nullptr, descriptor1 = nullptr, page1 = nullptr;
    ULONG length1 = 0;
    ASSERT_TRUE(row.allocate(&h.srb, &h.ext, &header1, &descriptor1, &page1, &length1));
    Bytes answer(row.length, 0);
    answer[1] = 0x33;
    answer[4] = row.pageCode;
    h.Answer(answer);
    h.srb.Cdb[1] = 0x00;

    UCHAR sentinel = 0;
    PUCHAR header2 = nullptr, descriptor2 = &sentinel, page2 = nullptr;
    ULONG length2 = 0;
    row.locate(&h.srb, &h.ext, &header2, &descriptor2, &page2, &length2);
    EXPECT_EQ(header2[1], 0x33);
    EXPECT_EQ(page2[0], row.pageCode);
    EXPECT_EQ(descriptor2, nullptr);
    EXPECT_EQ(length2, row.length);
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

}  // namespace
