// The simulated drive against SCSI-2/SSC-2 where the driver never takes it: identity, data
// and marks, spacing residues, positions across partitions, mode page checking, capacities,
// unit attentions, removal, protection, immediate operations and injected faults.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/sim_target.h"
#include "tests/sim/sim_bench.h"

using ::testing::ElementsAre;

namespace {

// ---- identity and readiness -------------------------------------------------------------

TEST(Identity, StandardInquiryNamesTheDrive)
{
    Bench b;
    std::vector<uint8_t> out;
    const auto r = b.In({0x12, 0, 0, 0, 96, 0}, 96, out);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(out.size(), 36u);
    EXPECT_THAT(std::vector<uint8_t>(out.begin(), out.begin() + 8),
                ElementsAre(0x01, 0x80, 0x02, 0x02, 31, 0, 0, 0));
    EXPECT_EQ(std::string(out.begin() + 8, out.begin() + 36), "VELM    QT-7310         0100");
}

TEST(Identity, AnotherIdentityAndShortAllocation)
{
    sim::Options options;
    options.identity.vendor = "VELMX";
    options.identity.product = "QT-7300";
    Bench b(options);
    std::vector<uint8_t> out;
    b.In({0x12, 0, 0, 0, 36, 0}, 36, out);
    EXPECT_EQ(std::string(out.begin() + 8, out.begin() + 32), "VELMX   QT-7300         ");
    const auto r = b.In({0x12, 0, 0, 0, 5, 0}, 36, out);
    EXPECT_EQ(r.transferred, 5u);
}

TEST(Readiness, UnknownOpcodeAndBadFieldsAreRefused)
{
    Bench b;
    auto r = b.Run({0x04, 0, 0, 0, 0, 0});  // FORMAT MEDIUM is not this drive's
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(Key(r), 5);
    EXPECT_EQ(Asc(r), 0x20);
    ASSERT_EQ(r.sense.size(), 18u);
    r = b.Run({0x19, 0x00, 0, 0, 0, 0});  // short erase
    EXPECT_EQ(Key(r), 5);
    EXPECT_EQ(Asc(r), 0x24);
    EXPECT_EQ(r.sense[15], 0xC8);  // SKSV, in the CDB, bit 0 of
    EXPECT_EQ(r.sense[17], 1);     // byte 1
    EXPECT_EQ(b.Run({0x00, 0, 0, 0, 0, 0}).status, 0);
}

// ---- data, marks and spacing --------------------------------------------------------------

TEST(ReadWrite, FixedBlocksComeBackAndStopAtFilemark)
{
    Bench b;
    ASSERT_EQ(b.WriteFixed(3, 512, 0x10).status, 0);
    ASSERT_EQ(b.Filemarks(1).status, 0);
    ASSERT_EQ(b.WriteFixed(1, 512, 0x40).status, 0);
    b.Rewind();
    std::vector<uint8_t> out;
    auto r = b.In({0x08, 0x01, 0, 0, 5, 0}, size_t{5} * 512, out);
    EXPECT_EQ(Key(r), 0);
    EXPECT_EQ(Flags(r), 0x80);
    EXPECT_EQ(Asc(r), 0x00);
    EXPECT_EQ(Ascq(r), 0x01);
    EXPECT_TRUE(Valid(r));
    EXPECT_EQ(Info(r), 2);
    ASSERT_EQ(out.size(), 3u * 512);
    EXPECT_EQ(out[0], 0x10);
    EXPECT_EQ(out[1023], 0x11);
    EXPECT_EQ(out[1535], 0x12);
    EXPECT_EQ(b.Position(), 4u);  // past the filemark
    r = b.In({0x08, 0x01, 0, 0, 1, 0}, 512, out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(out[0], 0x40);
    r = b.In({0x08, 0x01, 0, 0, 1, 0}, 512, out);
    EXPECT_EQ(Key(r), 8);
    EXPECT_EQ(Ascq(r), 0x05);
    EXPECT_EQ(Info(r), 1);
}

struct IliRow {
    uint32_t recorded;   // bytes in the block on tape
    uint32_t requested;  // variable READ transfer length
    bool sili;
    bool check;
    int32_t info;
    size_t transferred;
};
class VariableRead : public ::testing::TestWithParam<IliRow> {};

TEST_P(VariableRead, IncorrectLengthAndResidue)
{
    const IliRow row = GetParam();
    Bench b;
    ASSERT_EQ(b.Out({0x15, 0x00, 0, 0, 12, 0}, {0, 0, 0x10, 8, 0x7F, 0, 0, 0, 0, 0, 0, 0}).status,
              0);
    ASSERT_EQ(b.WriteVariable(std::vector<uint8_t>(row.recorded, 0x5A)).status, 0);
    b.Rewind();
    std::vector<uint8_t> out;
    const uint32_t n = row.requested;
    const auto r =
        b.In({0x08, uint8_t(row.sili ? 0x02 : 0x00), 0, uint8_t(n >> 8), uint8_t(n), 0}, n, out);
    EXPECT_EQ(r.status, row.check ? 2 : 0);
    if (row.check) {
        EXPECT_EQ(Key(r), 0);
        EXPECT_EQ(Flags(r), 0x20);
        EXPECT_EQ(Info(r), row.info);
    }
    EXPECT_EQ(r.transferred, row.transferred);
    EXPECT_EQ(b.Position(), 1u);  // the block is passed whatever its length
}

INSTANTIATE_TEST_SUITE_P(Lengths, VariableRead,
                         ::testing::Values(IliRow{100, 100, false, false, 0, 100},
                                           IliRow{100, 300, false, true, 200, 100},
                                           IliRow{300, 100, false, true, -200, 100},
                                           IliRow{100, 300, true, false, 0, 100},
                                           IliRow{300, 100, true, true, -200, 100}));

TEST(ReadWrite, FixedReadOfOddBlockSetsIli)
{
    Bench b;
    b.Out({0x15, 0x00, 0, 0, 12, 0}, {0, 0, 0x10, 8, 0x7F, 0, 0, 0, 0, 0, 0, 0});
    b.WriteVariable(std::vector<uint8_t>(512, 1));
    b.WriteVariable(std::vector<uint8_t>(100, 2));
    b.Out({0x15, 0x00, 0, 0, 12, 0}, {0, 0, 0x10, 8, 0x7F, 0, 0, 0, 0, 0, 2, 0});
    b.Rewind();
    std::vector<uint8_t> out;
    const auto r = b.In({0x08, 0x01, 0, 0, 3, 0}, size_t{3} * 512, out);
    EXPECT_EQ(Flags(r), 0x20);
    EXPECT_EQ(Info(r), 2);
    EXPECT_EQ(r.transferred, 512u);
    EXPECT_EQ(b.Position(), 2u);
    // FIXED with SILI is a contradiction.
    EXPECT_EQ(Asc(b.In({0x08, 0x03, 0, 0, 1, 0}, 512, out)), 0x24);
}

// Tape used by the spacing table, addresses in brackets:
// [0]B [1]B [2]F [3]B [4]S [5]B [6]F [7]F [8]B [9]S [10]S [11]B, end of data at 12.
struct SpaceRow {
    const char* name;
    bool rsmk;
    uint32_t start;
    uint8_t code;
    int32_t count;
    uint32_t end;
    uint8_t key;  // 0xFF: GOOD
    uint8_t flags;
    uint8_t ascq;
    int32_t info;
};
class Spacing : public ::testing::TestWithParam<SpaceRow> {};

TEST_P(Spacing, StopsWhereTheDriveWould)
{
    const SpaceRow row = GetParam();
    Bench b;
    b.WriteFixed(2);
    b.Filemarks(1);
    b.WriteFixed(1);
    b.Setmarks(1);
    b.WriteFixed(1);
    b.Filemarks(2);
    b.WriteFixed(1);
    b.Setmarks(2);
    b.WriteFixed(1);
    ASSERT_EQ(b.Position(), 12u);
    if (row.rsmk) {
        std::vector<uint8_t> page;
        b.In({0x1A, 0x08, 0x10, 0, 20, 0}, 20, page);
        page[0] = 0;
        page[12] |= 0x20;
        ASSERT_EQ(b.Out({0x15, 0x10, 0, 0, 20, 0}, page).status, 0);
    }
    ASSERT_EQ(b.Run({0x2B, 0, 0, 0, 0, 0, uint8_t(row.start), 0, 0, 0}).status, 0);
    const uint32_t c = static_cast<uint32_t>(row.count) & 0xFFFFFF;
    const auto r = b.Run({0x11, row.code, uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c), 0});
    if (row.key == 0xFF) {
        EXPECT_EQ(r.status, 0) << row.name;
    } else {
        ASSERT_EQ(r.status, 2) << row.name;
        EXPECT_EQ(Key(r), row.key) << row.name;
        EXPECT_EQ(Flags(r), row.flags) << row.name;
        EXPECT_EQ(Ascq(r), row.ascq) << row.name;
        EXPECT_TRUE(Valid(r)) << row.name;
        EXPECT_EQ(Info(r), row.info) << row.name;
    }
    EXPECT_EQ(b.Position(), row.end) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Spacing,
    ::testing::Values(
        SpaceRow{"blocks forward", false, 0, 0, 2, 2, 0xFF, 0, 0, 0},
        SpaceRow{"blocks forward into filemark", false, 0, 0, 5, 3, 0, 0x80, 0x01, 3},
        SpaceRow{"blocks skip hidden setmark", false, 3, 0, 2, 6, 0xFF, 0, 0, 0},
        SpaceRow{"blocks stop at reported setmark", true, 3, 0, 2, 5, 0, 0x80, 0x03, 1},
        SpaceRow{"blocks backward into filemark", false, 4, 0, -3, 2, 0, 0x80, 0x01, -2},
        SpaceRow{"blocks backward to BOP", false, 2, 0, -4, 0, 0, 0x40, 0x04, -2},
        SpaceRow{"blocks forward to EOD", false, 11, 0, 3, 12, 8, 0, 0x05, 2},
        SpaceRow{"filemarks forward", false, 0, 1, 2, 7, 0xFF, 0, 0, 0},
        SpaceRow{"filemarks forward past EOD", false, 0, 1, 4, 12, 8, 0, 0x05, 1},
        SpaceRow{"filemarks stop at reported setmark", true, 3, 1, 1, 5, 0, 0x80, 0x03, 1},
        SpaceRow{"filemarks backward", false, 12, 1, -2, 6, 0xFF, 0, 0, 0},
        SpaceRow{"filemarks backward to BOP", false, 5, 1, -3, 0, 0, 0x40, 0x04, -2},
        SpaceRow{"sequential filemarks", false, 0, 2, 2, 8, 0xFF, 0, 0, 0},
        SpaceRow{"sequential filemarks none", false, 0, 2, 3, 12, 8, 0, 0x05, 3},
        SpaceRow{"sequential filemarks backward", false, 12, 2, -2, 6, 0xFF, 0, 0, 0},
        SpaceRow{"setmarks forward", false, 0, 4, 2, 10, 0xFF, 0, 0, 0},
        SpaceRow{"setmarks backward", false, 12, 4, -3, 4, 0xFF, 0, 0, 0},
        SpaceRow{"setmarks backward to BOP", false, 3, 4, -1, 0, 0, 0x40, 0x04, -1},
        SpaceRow{"sequential setmarks", false, 0, 5, 2, 11, 0xFF, 0, 0, 0},
        SpaceRow{"sequential setmarks backward", false, 12, 5, -2, 9, 0xFF, 0, 0, 0},
        SpaceRow{"end of data", false, 0, 3, 0, 12, 0xFF, 0, 0, 0},
        SpaceRow{"count zero stays", false, 5, 0, 0, 5, 0xFF, 0, 0, 0}));

TEST(Spacing, ReservedCodeIsRefused)
{
    Bench b;
    const auto r = b.Run({0x11, 0x06, 0, 0, 1, 0});
    EXPECT_EQ(Key(r), 5);
    EXPECT_EQ(Asc(r), 0x24);
}

TEST(ReadWrite, WritingInTheMiddleMovesEndOfData)
{
    Bench b;
    b.WriteFixed(5);
    b.Run({0x2B, 0, 0, 0, 0, 0, 2, 0, 0, 0});
    b.Filemarks(1);
    b.Run({0x11, 0x03, 0, 0, 0, 0});
    EXPECT_EQ(b.Position(), 3u);
    const auto cart = b.drive.CurrentCartridge();
    ASSERT_EQ(cart->partitions[0].objects.size(), 3u);
    EXPECT_EQ(cart->partitions[0].objects[2].kind, sim::ObjectKind::Filemark);
}

TEST(ReadWrite, WritingABlockInTheMiddleMovesEndOfData)
{
    Bench b;
    b.WriteFixed(5);
    b.Run({0x2B, 0, 0, 0, 0, 0, 2, 0, 0, 0});
    ASSERT_EQ(b.WriteFixed(1, 512, 0x77).status, 0);
    b.Run({0x11, 0x03, 0, 0, 0, 0});
    EXPECT_EQ(b.Position(), 3u);
    std::vector<uint8_t> log;
    b.In({0x4D, 0, 0x71, 0, 0, 0, 0, 0, 0x24, 0}, 36, log);
    // Three blocks of 512 bytes remain recorded: 1,999,998.5 KiB left, reported as 1,999,998.
    EXPECT_THAT(std::vector<uint8_t>(log.begin() + 8, log.begin() + 12),
                ElementsAre(0x00, 0x1E, 0x84, 0x7E));
}

TEST(ReadWrite, TransferThatDoesNotMatchTheCommandIsAborted)
{
    Bench b;
    auto r = b.Out({0x0A, 0x01, 0, 0, 2, 0}, std::vector<uint8_t>(512, 0));  // asks for 1024
    EXPECT_EQ(Key(r), 0x0B);
    EXPECT_EQ(Asc(r), 0x4B);
    std::vector<uint8_t> out;
    b.WriteFixed(2);
    b.Rewind();
    r = b.In({0x08, 0x01, 0, 0, 2, 0}, 512, out);  // no room for the second block
    EXPECT_EQ(Key(r), 0x0B);
    EXPECT_EQ(b.Position(), 0u);  // nothing moved
}

TEST(ReadWrite, FullPartitionGivesVolumeOverflow)
{
    Bench b({}, sim::Cartridge::Blank(uint64_t{3} * 1024));
    const auto r = b.WriteFixed(8);
    EXPECT_EQ(Key(r), 0x0D);
    EXPECT_EQ(Flags(r), 0x40);
    EXPECT_EQ(Ascq(r), 0x02);
    EXPECT_EQ(Info(r), 2);
    EXPECT_EQ(r.transferred, 6u * 512);
    EXPECT_EQ(b.Position(), 6u);
}

// ---- positions and partitions -------------------------------------------------------------

std::vector<uint8_t> TwoPartitionList(uint16_t megabytes)
{
    return {
        0, 0, 0x10, 0, 0x11, 8, 0, 1, 0x30, 3, 0, 0, uint8_t(megabytes >> 8), uint8_t(megabytes)};
}

TEST(Partitions, LocateAndReadPositionAcrossTwoPartitions)
{
    Bench b;
    ASSERT_EQ(b.Out({0x15, 0x10, 0, 0, 14, 0}, TwoPartitionList(300)).status, 0);
    b.WriteFixed(4);
    // Change to partition 1 at block 0 and write there.
    ASSERT_EQ(b.Run({0x2B, 0x02, 0, 0, 0, 0, 0, 0, 1, 0}).status, 0);
    b.WriteFixed(2);
    std::vector<uint8_t> out;
    ASSERT_EQ(b.In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out).status, 0);
    EXPECT_THAT(out, ElementsAre(0x00, 0x01, 0, 0, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0));
    // The drive's own address carries the partition in its top bits.
    b.In({0x34, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
    EXPECT_THAT(std::vector<uint8_t>(out.begin() + 4, out.begin() + 8), ElementsAre(0x40, 0, 0, 2));
    // Back to partition 0, block 3; then an absolute locate to partition 1, block 1.
    ASSERT_EQ(b.Run({0x2B, 0x02, 0, 0, 0, 0, 3, 0, 0, 0}).status, 0);
    b.In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[7], 3);
    ASSERT_EQ(b.Run({0x2B, 0x04, 0, 0x40, 0, 0, 1, 0, 0, 0}).status, 0);
    b.In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[7], 1);
    // Rewind stays in the partition; BOP is reported.
    b.Rewind();
    b.In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
    EXPECT_EQ(out[0], 0x80);
    EXPECT_EQ(out[1], 1);
}

TEST(Partitions, LocateErrors)
{
    Bench b;
    auto r = b.Run({0x2B, 0x02, 0, 0, 0, 0, 0, 0, 1, 0});  // no partition 1 yet
    EXPECT_EQ(Key(r), 5);
    EXPECT_EQ(Asc(r), 0x24);
    b.WriteFixed(2);
    r = b.Run({0x2B, 0, 0, 0, 0, 0, 9, 0, 0, 0});  // past end of data
    EXPECT_EQ(Key(r), 8);
    EXPECT_EQ(Ascq(r), 0x05);
    EXPECT_EQ(b.Position(), 2u);
}

TEST(Partitions, PartitioningLosesDataAndSetsCapacities)
{
    Bench b;
    b.WriteFixed(10);
    std::vector<uint8_t> log;
    ASSERT_EQ(b.In({0x4D, 0, 0x71, 0, 0, 0, 0, 0, 0x24, 0}, 36, log).status, 0);
    // 2,048,000,000 bytes: 2,000,000 KiB, of which 5 are used.
    EXPECT_THAT(
        log, ElementsAre(0x31, 0, 0, 32, 0, 1, 0, 4, 0x00, 0x1E, 0x84, 0x7B, 0, 2, 0, 4, 0, 0, 0, 0,
                         0, 3, 0, 4, 0x00, 0x1E, 0x84, 0x80, 0, 4, 0, 4, 0, 0, 0, 0));
    ASSERT_EQ(b.Out({0x15, 0x10, 0, 0, 14, 0}, TwoPartitionList(1024)).status, 0);
    EXPECT_EQ(b.Position(), 0u);
    std::vector<uint8_t> out;
    const auto r = b.In({0x08, 0x01, 0, 0, 1, 0}, 512, out);
    EXPECT_EQ(Key(r), 8);  // blank: the old blocks are gone
    b.In({0x4D, 0, 0x71, 0, 0, 0, 0, 0, 0x24, 0}, 36, log);
    // 1024 MB = 1,000,000 KiB in each partition.
    EXPECT_THAT(std::vector<uint8_t>(log.begin() + 8, log.begin() + 12),
                ElementsAre(0x00, 0x0F, 0x42, 0x40));
    EXPECT_THAT(std::vector<uint8_t>(log.begin() + 16, log.begin() + 20),
                ElementsAre(0x00, 0x0F, 0x42, 0x40));
    EXPECT_THAT(std::vector<uint8_t>(log.begin() + 32, log.begin() + 36),
                ElementsAre(0x00, 0x0F, 0x42, 0x40));
    // Back to one partition with the 12-byte list.
    ASSERT_EQ(
        b.Out({0x15, 0x10, 0, 0, 12, 0}, {0, 0, 0x10, 0, 0x11, 6, 0, 0, 0x30, 3, 0, 0}).status, 0);
    b.In({0x1A, 0x08, 0x11, 0, 14, 0}, 14, out);
    EXPECT_THAT(out, ElementsAre(15, 0, 0x10, 0, 0x11, 0x0A, 1, 0, 0x10, 3, 0, 0, 0x08, 0x00));
}

// ---- mode pages -----------------------------------------------------------------------------

TEST(ModeSense, AnswersAsTheDriverReadsThem)
{
    Bench b;
    std::vector<uint8_t> out;
    ASSERT_EQ(b.In({0x1A, 0x08, 0x10, 0, 20, 0}, 20, out).status, 0);
    EXPECT_THAT(out, ElementsAre(19, 0, 0x10, 0, 0x90, 0x0E, 0, 0, 0, 0, 0, 0, 0x40, 0, 0x18, 0, 0,
                                 0, 1, 0));
    ASSERT_EQ(b.In({0x1A, 0x08, 0x0F, 0, 20, 0}, 20, out).status, 0);
    EXPECT_THAT(out, ElementsAre(19, 0, 0x10, 0, 0x8F, 0x0E, 0xC0, 0x80, 0, 0, 0, 0x20, 0, 0, 0,
                                 0x20, 0, 0, 0, 0));
    ASSERT_EQ(b.In({0x1A, 0x00, 0x11, 0, 24, 0}, 24, out).status, 0);
    EXPECT_THAT(out, ElementsAre(23, 0, 0x10, 8, 0x24, 0, 0, 0, 0, 0, 0x02, 0x00, 0x11, 0x0A, 1, 0,
                                 0x10, 3, 0, 0, 0x08, 0x00, 0, 0));
    // Allocation 14 cuts the partition page after its first size descriptor.
    ASSERT_EQ(b.In({0x1A, 0x08, 0x11, 0, 14, 0}, 14, out).status, 0);
    EXPECT_EQ(out.size(), 14u);
    EXPECT_EQ(out[0], 15);
    // Changeable values of the configuration page: RSmk and the compression selector.
    b.In({0x1A, 0x08, 0x50, 0, 20, 0}, 20, out);
    EXPECT_EQ(out[12], 0x20);
    EXPECT_EQ(out[18], 0xFF);
    EXPECT_EQ(out[7], 0);
    // Unknown page.
    const auto r = b.In({0x1A, 0x08, 0x01, 0, 20, 0}, 20, out);
    EXPECT_EQ(Asc(r), 0x24);
}

TEST(ModeSelect, AcceptsTheDriversListsAndActsOnThem)
{
    Bench b;
    std::vector<uint8_t> page;
    b.In({0x1A, 0x08, 0x10, 0, 20, 0}, 20, page);
    page[0] = 0;
    page[12] |= 0x20;  // RSmk
    ASSERT_EQ(b.Out({0x15, 0x10, 0, 0, 20, 0}, page).status, 0);
    EXPECT_TRUE(b.drive.settings().reportSetmarks);

    b.In({0x1A, 0x08, 0x0F, 0, 20, 0}, 20, page);
    page[0] = 0;
    page[6] &= 0x7F;  // DCE off
    page[7] |= 0x80;
    for (int i = 8; i < 16; ++i) {
        page[i] = 0;
    }
    ASSERT_EQ(b.Out({0x15, 0x10, 0, 0, 20, 0}, page).status, 0);
    EXPECT_FALSE(b.drive.settings().compression);

    ASSERT_EQ(
        b.Out({0x15, 0x00, 0, 0, 12, 0}, {0, 0, 0x10, 8, 0x7F, 0, 0, 0, 0, 0, 0x04, 0x00}).status,
        0);
    EXPECT_EQ(b.drive.settings().blockLength, 1024u);
    ASSERT_EQ(b.Out({0x15, 0x00, 0, 0, 12, 0}, {0, 0, 0x10, 8, 0x7F, 0, 0, 0, 0, 0, 0, 0}).status,
              0);
    EXPECT_EQ(b.drive.settings().blockLength, 0u);
}

struct SelectRow {
    const char* name;
    std::vector<uint8_t> cdb;
    std::vector<uint8_t> list;
    uint8_t key;
    uint8_t asc;
    uint16_t field;  // 0xFFFF: no field pointer expected
};
class ModeSelectRefusal : public ::testing::TestWithParam<SelectRow> {};

std::vector<uint8_t> ConfigList()
{
    return {0, 0, 0x10, 0, 0x10, 0x0E, 0, 0, 0, 0, 0, 0, 0x40, 0, 0x18, 0, 0, 0, 1, 0};
}
std::vector<uint8_t> Prefix(std::vector<uint8_t> v, size_t n)
{
    v.resize(n);
    return v;
}
std::vector<uint8_t> With(std::vector<uint8_t> v, size_t at, uint8_t value)
{
    v[at] = value;
    return v;
}

TEST_P(ModeSelectRefusal, RefusesWithTheRightSense)
{
    const SelectRow& row = GetParam();
    Bench b;
    b.WriteFixed(1);
    const auto before = b.drive.CurrentCartridge();
    const auto r = b.Out(row.cdb, row.list);
    ASSERT_EQ(r.status, 2) << row.name;
    EXPECT_EQ(Key(r), row.key) << row.name;
    EXPECT_EQ(Asc(r), row.asc) << row.name;
    if (row.field != 0xFFFF) {
        EXPECT_EQ(r.sense[15] & 0x80, 0x80) << row.name;
        EXPECT_EQ((r.sense[16] << 8) | r.sense[17], row.field) << row.name;
    }
    EXPECT_TRUE(*b.drive.CurrentCartridge() == *before) << row.name << ": nothing may change";
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ModeSelectRefusal,
    ::testing::Values(
        SelectRow{"header cut short", {0x15, 0x10, 0, 0, 3, 0}, {0, 0, 0x10}, 5, 0x1A, 0xFFFF},
        SelectRow{"block descriptor cut short",
                  {0x15, 0x00, 0, 0, 8, 0},
                  {0, 0, 0x10, 8, 0x7F, 0, 0, 0},
                  5,
                  0x1A,
                  0xFFFF},
        SelectRow{"page longer than the list",
                  {0x15, 0x10, 0, 0, 18, 0},
                  Prefix(ConfigList(), 18),
                  5,
                  0x1A,
                  0xFFFF},
        SelectRow{"config page length wrong",
                  {0x15, 0x10, 0, 0, 20, 0},
                  With(ConfigList(), 5, 0x0C),
                  5,
                  0x26,
                  5},
        SelectRow{"unchangeable field changed",
                  {0x15, 0x10, 0, 0, 20, 0},
                  With(ConfigList(), 12, 0x00),
                  5,
                  0x26,
                  12},
        SelectRow{"CAP not supported",
                  {0x15, 0x10, 0, 0, 20, 0},
                  With(ConfigList(), 6, 0x40),
                  5,
                  0x26,
                  6},
        SelectRow{"compression selector out of range",
                  {0x15, 0x10, 0, 0, 20, 0},
                  With(ConfigList(), 18, 7),
                  5,
                  0x26,
                  18},
        SelectRow{
            "unknown page", {0x15, 0x10, 0, 0, 8, 0}, {0, 0, 0x10, 0, 0x02, 2, 0, 0}, 5, 0x26, 4},
        SelectRow{"page without PF", {0x15, 0x00, 0, 0, 20, 0}, ConfigList(), 5, 0x24, 1},
        SelectRow{
            "medium type set", {0x15, 0x10, 0, 0, 20, 0}, With(ConfigList(), 1, 0x01), 5, 0x26, 1},
        SelectRow{"block descriptor length 4",
                  {0x15, 0x00, 0, 0, 8, 0},
                  {0, 0, 0x10, 4, 0x7F, 0, 0, 0},
                  5,
                  0x26,
                  3},
        SelectRow{"other density",
                  {0x15, 0x00, 0, 0, 12, 0},
                  {0, 0, 0x10, 8, 0x13, 0, 0, 0, 0, 0, 2, 0},
                  5,
                  0x26,
                  4},
        SelectRow{"number of blocks set",
                  {0x15, 0x00, 0, 0, 12, 0},
                  {0, 0, 0x10, 8, 0x7F, 0, 0, 5, 0, 0, 2, 0},
                  5,
                  0x26,
                  5},
        SelectRow{"compression algorithm unknown",
                  {0x15, 0x10, 0, 0, 20, 0},
                  {0, 0, 0x10, 0, 0x0F, 0x0E, 0xC0, 0x80, 0, 0, 0, 0x10, 0, 0, 0, 0x20, 0, 0, 0, 0},
                  5,
                  0x26,
                  8},
        SelectRow{"DCC cleared",
                  {0x15, 0x10, 0, 0, 20, 0},
                  {0, 0, 0x10, 0, 0x0F, 0x0E, 0x80, 0x80, 0, 0, 0, 0x20, 0, 0, 0, 0x20, 0, 0, 0, 0},
                  5,
                  0x26,
                  6},
        SelectRow{"three partitions",
                  {0x15, 0x10, 0, 0, 14, 0},
                  {0, 0, 0x10, 0, 0x11, 8, 0, 2, 0x30, 3, 0, 0, 1, 0},
                  5,
                  0x26,
                  7},
        SelectRow{"two partitions without a size",
                  {0x15, 0x10, 0, 0, 12, 0},
                  {0, 0, 0x10, 0, 0x11, 6, 0, 1, 0x30, 3, 0, 0},
                  5,
                  0x26,
                  5},
        SelectRow{"first partition fills the tape",
                  {0x15, 0x10, 0, 0, 14, 0},
                  TwoPartitionList(2048),
                  5,
                  0x26,
                  12},
        SelectRow{"first partition of size 0",
                  {0x15, 0x10, 0, 0, 14, 0},
                  TwoPartitionList(0),
                  5,
                  0x26,
                  12},
        SelectRow{"fixed partitions",
                  {0x15, 0x10, 0, 0, 14, 0},
                  With(TwoPartitionList(300), 8, 0xB0),
                  5,
                  0x26,
                  8},
        SelectRow{"partition page odd length",
                  {0x15, 0x10, 0, 0, 13, 0},
                  {0, 0, 0x10, 0, 0x11, 7, 0, 1, 0x30, 3, 0, 0, 1},
                  5,
                  0x26,
                  5},
        SelectRow{"partition page too many sizes",
                  {0x15, 0x10, 0, 0, 18, 0},
                  {0, 0, 0x10, 0, 0x11, 12, 0, 1, 0x30, 3, 0, 0, 1, 0, 0, 0, 0, 0},
                  5,
                  0x26,
                  5},
        SelectRow{"another layout without IDP",
                  {0x15, 0x10, 0, 0, 12, 0},
                  {0, 0, 0x10, 0, 0x11, 6, 0, 1, 0x10, 3, 0, 0},
                  5,
                  0x26,
                  7},
        SelectRow{"PSUM 11b",
                  {0x15, 0x10, 0, 0, 14, 0},
                  With(TwoPartitionList(300), 8, 0x38),
                  5,
                  0x26,
                  8},
        SelectRow{"list length disagrees with the data",
                  {0x15, 0x10, 0, 0, 20, 0},
                  Prefix(ConfigList(), 16),
                  0x0B,
                  0x4B,
                  0xFFFF},
        SelectRow{"save pages bit with reserved bits",
                  {0x15, 0x12, 0, 0, 20, 0},
                  ConfigList(),
                  5,
                  0x24,
                  1}));

TEST(ModeSelect, PartitionPageWithoutIdpRestatesTheLayoutAndKeepsTheData)
{
    Bench b;
    b.WriteFixed(2);
    ASSERT_EQ(
        b.Out({0x15, 0x10, 0, 0, 12, 0}, {0, 0, 0x10, 0, 0x11, 6, 1, 0, 0x10, 3, 0, 0}).status, 0);
    EXPECT_EQ(b.drive.CurrentCartridge()->partitions[0].objects.size(), 2u);
}

TEST(ModeSelect, ReservedModeDataLengthAndPageSaveableBitAreIgnored)
{
    Bench b;
    auto list = ConfigList();
    list[0] = 0x13;
    list[4] = 0x90;
    list[7] = 0x01;  // the active partition counts only with CAP
    EXPECT_EQ(b.Out({0x15, 0x10, 0, 0, 20, 0}, list).status, 0);
}

// ---- options: refused compression page, short answers, faults -------------------------------

TEST(Options, DriveWithoutCompressionPage)
{
    sim::Options options;
    options.refuseCompressionPage = true;
    Bench b(options);
    std::vector<uint8_t> out;
    auto r = b.In({0x1A, 0x08, 0x0F, 0, 20, 0}, 20, out);
    EXPECT_EQ(Key(r), 5);
    EXPECT_EQ(Asc(r), 0x24);
    r = b.Out({0x15, 0x10, 0, 0, 20, 0},
              {0, 0, 0x10, 0, 0x0F, 0x0E, 0xC0, 0x80, 0, 0, 0, 0x20, 0, 0, 0, 0x20, 0, 0, 0, 0});
    EXPECT_EQ(Key(r), 5);
    EXPECT_EQ(Asc(r), 0x26);
}

TEST(Options, ShortModeSenseAnswer)
{
    sim::Options options;
    options.modeSenseShortBy = 4;
    Bench b(options);
    std::vector<uint8_t> out;
    const auto r = b.In({0x1A, 0x00, 0x11, 0, 24, 0}, 24, out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.transferred, 20u);
    EXPECT_EQ(out[0], 23);  // the header still tells the full length
}

TEST(Options, InjectedFaults)
{
    Bench b;
    sim::Fault byNumber;
    byNumber.commandNumber = 2;
    byNumber.senseKey = 0x03;
    byNumber.asc = 0x11;
    b.drive.InjectFault(byNumber);
    sim::Fault byOpcode;
    byOpcode.opcode = 0x34;
    byOpcode.senseKey = 0x0B;
    byOpcode.asc = 0x47;
    byOpcode.losePosition = true;
    b.drive.InjectFault(byOpcode);
    EXPECT_EQ(b.Run({0x00, 0, 0, 0, 0, 0}).status, 0);
    auto r = b.Run({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(Key(r), 3);
    EXPECT_EQ(Asc(r), 0x11);
    EXPECT_EQ(b.Run({0x00, 0, 0, 0, 0, 0}).status, 0);
    std::vector<uint8_t> out;
    r = b.In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
    EXPECT_EQ(Key(r), 0x0B);
    EXPECT_EQ(Asc(r), 0x47);
    // The position is lost until the tape is rewound.
    b.In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
    EXPECT_EQ(out[0], 0x04);
    EXPECT_EQ(Key(b.WriteFixed(1)), 3);
    b.Rewind();
    b.In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
    EXPECT_EQ(out[0], 0x80);
}

// ---- cartridge handling and unit attentions ----------------------------------------------------

TEST(UnitAttention, RemovalThenNoMedium)
{
    Bench b;
    ASSERT_EQ(b.Run({0x1B, 0, 0, 0, 0x00, 0}).status, 0);  // unload
    EXPECT_EQ(Asc(b.Run({0x00, 0, 0, 0, 0, 0})), 0x04);    // in, but unloaded: 2/04/02
    ASSERT_TRUE(b.drive.RemoveCartridge().has_value());
    auto r = b.Run({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(Key(r), 6);
    EXPECT_EQ(Asc(r), 0x3A);
    for (int i = 0; i < 2; ++i) {
        r = b.Run({0x00, 0, 0, 0, 0, 0});
        EXPECT_EQ(Key(r), 2);
        EXPECT_EQ(Asc(r), 0x3A);
        EXPECT_EQ(Ascq(r), 0x00);
    }
    // Inquiry still answers without a tape.
    std::vector<uint8_t> out;
    EXPECT_EQ(b.In({0x12, 0, 0, 0, 36, 0}, 36, out).status, 0);
    ASSERT_TRUE(b.drive.InsertCartridge(sim::Cartridge{}));
    r = b.Run({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(Key(r), 6);
    EXPECT_EQ(Asc(r), 0x28);
    EXPECT_EQ(b.Run({0x00, 0, 0, 0, 0, 0}).status, 0);
}

TEST(UnitAttention, PowerOnOnlyWhenAsked)
{
    EXPECT_EQ(Bench().Run({0x00, 0, 0, 0, 0, 0}).status, 0);
    sim::Options options;
    options.unitAttentionAtPowerOn = true;
    Bench b(options);
    std::vector<uint8_t> out;
    // INQUIRY passes a pending unit attention by; REQUEST SENSE reports and clears it.
    EXPECT_EQ(b.In({0x12, 0, 0, 0, 36, 0}, 36, out).status, 0);
    ASSERT_EQ(b.In({0x03, 0, 0, 0, 18, 0}, 18, out).status, 0);
    EXPECT_EQ(out[2], 6);
    EXPECT_EQ(out[12], 0x29);
    EXPECT_EQ(b.Run({0x00, 0, 0, 0, 0, 0}).status, 0);
    b.drive.PowerCycle();
    const auto r = b.Run({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(Key(r), 6);
    EXPECT_EQ(Asc(r), 0x29);
}

TEST(Removal, PreventedUnloadAndEject)
{
    Bench b;
    ASSERT_EQ(b.Run({0x1E, 0, 0, 0, 1, 0}).status, 0);
    auto r = b.Run({0x1B, 0, 0, 0, 0, 0});
    EXPECT_EQ(Key(r), 5);
    EXPECT_EQ(Asc(r), 0x53);
    EXPECT_EQ(Ascq(r), 0x02);
    EXPECT_FALSE(b.drive.RemoveCartridge().has_value());
    EXPECT_TRUE(b.drive.Loaded());
    ASSERT_EQ(b.Run({0x1E, 0, 0, 0, 0, 0}).status, 0);
    EXPECT_EQ(b.Run({0x1B, 0, 0, 0, 0, 0}).status, 0);
    EXPECT_EQ(b.Run({0x1B, 0, 0, 0, 1, 0}).status, 0);  // load again
    EXPECT_EQ(b.Run({0x00, 0, 0, 0, 0, 0}).status, 0);
}

TEST(WriteProtection, WritesRefusedAndReported)
{
    sim::Cartridge cartridge;
    cartridge.writeProtected = true;
    Bench b({}, cartridge);
    for (const auto& r : {b.WriteFixed(1), b.Filemarks(1), b.Run({0x19, 0x01, 0, 0, 0, 0}),
                          b.Out({0x15, 0x10, 0, 0, 14, 0}, TwoPartitionList(300))}) {
        EXPECT_EQ(Key(r), 7);
        EXPECT_EQ(Asc(r), 0x27);
    }
    std::vector<uint8_t> out;
    b.In({0x1A, 0x00, 0x11, 0, 24, 0}, 24, out);
    EXPECT_EQ(out[2], 0x90);
    EXPECT_EQ(b.drive.CurrentCartridge()->partitions.size(), 1u);
}

// ---- immediate operations: the honest road to ABORTED COMMAND
// ------------------------------------

TEST(Immediate, BusyDriveSaysNotReadyAndAbortsASecondImmediateCommand)
{
    sim::Options options;
    options.immediateOperationCommands = 3;
    Bench b(options);
    b.WriteFixed(3);
    ASSERT_EQ(b.Run({0x01, 0x01, 0, 0, 0, 0}).status, 0);  // REWIND, IMMED
    auto r = b.Run({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(Key(r), 2);
    EXPECT_EQ(Asc(r), 0x00);
    EXPECT_EQ(Ascq(r), 0x1A);             // rewind in progress
    r = b.Run({0x19, 0x03, 0, 0, 0, 0});  // ERASE, IMMED
    EXPECT_EQ(Key(r), 0x0B);
    EXPECT_EQ(Asc(r), 0x00);
    EXPECT_EQ(Ascq(r), 0x16);
    std::vector<uint8_t> out;
    EXPECT_EQ(b.In({0x1A, 0x08, 0x10, 0, 20, 0}, 20, out).status, 0);         // no motion: answered
    EXPECT_EQ(b.Run({0x00, 0, 0, 0, 0, 0}).status, 0);                        // done
    EXPECT_EQ(b.drive.CurrentCartridge()->partitions[0].objects.size(), 3u);  // erase never ran
}

// ---- the adapter --------------------------------------------------------------------------------

TEST(SimTarget, ForwardsCommandsAndAnswers)
{
    sim::Drive drive;
    host::SimTarget target(drive);
    const uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
    std::vector<uint8_t> buffer(36, 0);
    host::ScsiCommand command;
    command.cdb = inquiry;
    command.cdbLength = 6;
    command.direction = host::Direction::In;
    command.data = buffer.data();
    command.dataLength = buffer.size();
    auto answer = target.Execute(command);
    EXPECT_EQ(answer.status, host::kScsiGood);
    EXPECT_EQ(answer.transferred, 36u);
    EXPECT_EQ(buffer[8], 'V');
    const uint8_t erase[6] = {0x19, 0, 0, 0, 0, 0};
    command.cdb = erase;
    command.direction = host::Direction::None;
    command.data = nullptr;
    command.dataLength = 0;
    answer = target.Execute(command);
    EXPECT_EQ(answer.status, host::kScsiCheckCondition);
    ASSERT_EQ(answer.sense.size(), 18u);
    EXPECT_EQ(answer.sense[2], 0x05);
    EXPECT_FALSE(answer.transportFailed);
}

}  // namespace

namespace {

// ---- answers without a tape, while busy, and the rarer pages ------------------------------------

TEST(NoMedium, MediumCommandsSayNotPresentButRequestSenseAnswers)
{
    Bench b({}, std::nullopt);
    std::vector<uint8_t> out;
    for (const auto& r :
         {b.In({0x1A, 0x08, 0x10, 0, 20, 0}, 20, out), b.In({0x05, 0, 0, 0, 0, 0}, 6, out),
          b.In({0x4D, 0, 0x71, 0, 0, 0, 0, 0, 0x24, 0}, 36, out), b.Run({0x1B, 0, 0, 0, 1, 0}),
          b.Run({0x01, 0, 0, 0, 0, 0})}) {
        EXPECT_EQ(Key(r), 2);
        EXPECT_EQ(Asc(r), 0x3A);
    }
    ASSERT_EQ(b.In({0x03, 0, 0, 0, 18, 0}, 18, out).status, 0);
    EXPECT_THAT(out, ElementsAre(0x70, 0, 2, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0, 0, 0, 0, 0));
    EXPECT_EQ(b.Run({0x1E, 0, 0, 0, 1, 0}).status, 0);  // locking an empty drive is allowed
}

TEST(Immediate, LoadInProgressAndRequestSense)
{
    sim::Options options;
    options.immediateOperationCommands = 2;
    Bench b(options);
    ASSERT_EQ(b.Run({0x1B, 0x01, 0, 0, 1, 0}).status, 0);
    std::vector<uint8_t> out;
    ASSERT_EQ(b.In({0x03, 0, 0, 0, 18, 0}, 18, out).status, 0);
    EXPECT_EQ(out[2], 2);
    EXPECT_EQ(out[12], 0x04);
    EXPECT_EQ(out[13], 0x01);
    const auto r = b.Run({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(Key(r), 2);
    EXPECT_EQ(Asc(r), 0x04);
    EXPECT_EQ(Ascq(r), 0x01);
    EXPECT_EQ(b.Run({0x00, 0, 0, 0, 0, 0}).status, 0);
    EXPECT_FALSE(b.drive.Busy());
}

TEST(Inquiry, VitalProductDataPages)
{
    Bench b;
    std::vector<uint8_t> out;
    ASSERT_EQ(b.In({0x12, 0x01, 0x00, 0, 255, 0}, 255, out).status, 0);
    EXPECT_THAT(out, ElementsAre(0x01, 0x00, 0x00, 0x02, 0x00, 0x80));
    ASSERT_EQ(b.In({0x12, 0x01, 0x80, 0, 255, 0}, 255, out).status, 0);
    EXPECT_EQ(std::string(out.begin() + 4, out.end()), "VQ731000001");
    EXPECT_EQ(out[3], 11);
    EXPECT_EQ(Asc(b.In({0x12, 0x01, 0x83, 0, 255, 0}, 255, out)), 0x24);
    EXPECT_EQ(Asc(b.In({0x12, 0x00, 0x80, 0, 255, 0}, 255, out)), 0x24);  // page without EVPD
}

TEST(LogSense, SupportedPagesPointerAndRefusals)
{
    Bench b;
    std::vector<uint8_t> out;
    ASSERT_EQ(b.In({0x4D, 0, 0x40, 0, 0, 0, 0, 0, 0xFF, 0}, 255, out).status, 0);
    EXPECT_THAT(out, ElementsAre(0x00, 0, 0, 2, 0x00, 0x31));
    // From parameter 3 on: the two maximum capacities only.
    ASSERT_EQ(b.In({0x4D, 0, 0x71, 0, 0, 0, 3, 0, 0xFF, 0}, 255, out).status, 0);
    EXPECT_THAT(out, ElementsAre(0x31, 0, 0, 16, 0, 3, 0, 4, 0x00, 0x1E, 0x84, 0x80, 0, 4, 0, 4, 0,
                                 0, 0, 0));
    // Allocation shorter than the page.
    auto r = b.In({0x4D, 0, 0x71, 0, 0, 0, 0, 0, 12, 0}, 36, out);
    EXPECT_EQ(r.transferred, 12u);
    r = b.In({0x4D, 0, 0x71, 0, 0, 0, 5, 0, 0xFF, 0}, 255, out);
    EXPECT_EQ(Asc(r), 0x24);
    r = b.In({0x4D, 0, 0x72, 0, 0, 0, 0, 0, 0xFF, 0}, 255, out);
    EXPECT_EQ(Asc(r), 0x24);
    r = b.In({0x4D, 0x01, 0x71, 0, 0, 0, 0, 0, 0xFF, 0}, 255, out);  // SP: nothing to save
    EXPECT_EQ(Asc(r), 0x24);
}

TEST(ModeSense, AllPagesDefaultsAndChangeablePartitionPage)
{
    Bench b;
    std::vector<uint8_t> out;
    ASSERT_EQ(b.In({0x1A, 0x00, 0x3F, 0, 255, 0}, 255, out).status, 0);
    ASSERT_EQ(out.size(), 4u + 8 + 16 + 16 + 12);
    EXPECT_EQ(out[0], out.size() - 1);
    EXPECT_EQ(out[12], 0x8F);
    EXPECT_EQ(out[28], 0x90);
    EXPECT_EQ(out[44], 0x11);
    // After changes, PC 10b still reports the power-on defaults.
    b.Out({0x15, 0x00, 0, 0, 12, 0}, {0, 0, 0x10, 8, 0x7F, 0, 0, 0, 0, 0, 0x08, 0});
    b.In({0x1A, 0x00, 0x90, 0, 255, 0}, 255, out);
    EXPECT_THAT(std::vector<uint8_t>(out.begin() + 9, out.begin() + 12), ElementsAre(0, 2, 0));
    b.In({0x1A, 0x00, 0x10, 0, 255, 0}, 255, out);
    EXPECT_THAT(std::vector<uint8_t>(out.begin() + 9, out.begin() + 12), ElementsAre(0, 8, 0));
    b.In({0x1A, 0x08, 0x51, 0, 255, 0}, 255, out);
    EXPECT_THAT(
        out, ElementsAre(15, 0, 0, 0, 0x11, 0x0A, 0, 0x01, 0x38, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF));
}

TEST(ReadPosition, EndOfPartitionFlagWhenFull)
{
    Bench b({}, sim::Cartridge::Blank(1024));
    b.WriteFixed(2);
    std::vector<uint8_t> out;
    b.In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
    EXPECT_EQ(out[0], 0x40);
    const auto r = b.WriteVariable({1});
    EXPECT_EQ(Key(r), 0x0D);
    EXPECT_EQ(Info(r), 1);
}

TEST(LoadUnload, RetensionAndEndOfTapeUnloadAreRefused)
{
    Bench b;
    EXPECT_EQ(Asc(b.Run({0x1B, 0, 0, 0, 0x03, 0})), 0x24);
    EXPECT_EQ(Asc(b.Run({0x1B, 0, 0, 0, 0x04, 0})), 0x24);
    EXPECT_EQ(Asc(b.Run({0x1E, 0, 0, 0, 0x02, 0})), 0x24);
    // Loading again winds back to the beginning of partition 0.
    b.WriteFixed(3);
    EXPECT_EQ(b.Run({0x1B, 0, 0, 0, 0x01, 0}).status, 0);
    EXPECT_EQ(b.Position(), 0u);
}

}  // namespace

namespace {

TEST(Cartridges, AnImpossibleCartridgeIsTheCallersMistake)
{
    sim::Cartridge three;
    three.partitions.resize(3, sim::Partition{1000, {}});
    EXPECT_THROW(sim::Drive({}, three), std::invalid_argument);
    sim::Cartridge lost;
    lost.position = 1;  // nothing recorded
    sim::Drive empty({}, std::nullopt);
    EXPECT_THROW(empty.InsertCartridge(lost), std::invalid_argument);
    EXPECT_FALSE(empty.HasCartridge());
}

}  // namespace
