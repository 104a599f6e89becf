// Data, marks and positions end to end: marks written through WriteMarks land on the
// simulated tape, and every way of moving (rewind, locate, space) ends where the drive says,
// with the statuses its early stops turn into on the way back through the class driver.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/rig.h"

namespace e2e {
namespace {

// ---- marks -------------------------------------------------------------------------------

struct MarksRow {
    const char* name;
    ULONG type;
    ULONG count;
    bool immediate;
    const char* kinds;  // the tape afterwards
};
class WriteMarksEndToEnd : public ::testing::TestWithParam<MarksRow> {};

TEST_P(WriteMarksEndToEnd, RecordsTheMarksAfterTheDataAndMovesPastThem)
{
    const MarksRow& row = GetParam();
    Rig r;
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Write(2, 0x10), TAPE_STATUS_SUCCESS);
    const uint64_t before = r.drive.CommandCount();

    EXPECT_EQ(r.Marks(row.type, row.count, row.immediate), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.drive.CommandCount(), before + 1);  // one WRITE FILEMARKS, no readiness check
    EXPECT_EQ(r.Kinds(), row.kinds);
    EXPECT_EQ(r.Tape().position, 2u + row.count);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{1}, ULONG{2 + row.count}));
}

INSTANTIATE_TEST_SUITE_P(
    Marks, WriteMarksEndToEnd,
    ::testing::Values(MarksRow{"OneFilemark", TAPE_FILEMARKS, 1, false, "BBF"},
                      MarksRow{"ThreeFilemarksImmediate", TAPE_FILEMARKS, 3, true, "BBFFF"},
                      MarksRow{"TwoSetmarks", TAPE_SETMARKS, 2, false, "BBSS"},
                      MarksRow{"OneSetmarkImmediate", TAPE_SETMARKS, 1, true, "BBS"},
                      MarksRow{"NoMarksAtAll", TAPE_FILEMARKS, 0, false, "BB"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteMarksEndToEnd, ImmediateReturnsWhileTheDriveIsStillWriting)
{
    sim::Options options;
    options.immediateOperationCommands = 1;
    Rig r(options);
    ASSERT_TRUE(r.Ready());

    ASSERT_EQ(r.Marks(TAPE_FILEMARKS, 1, false), TAPE_STATUS_SUCCESS);
    EXPECT_FALSE(r.drive.Busy());
    EXPECT_EQ(r.Status(), TAPE_STATUS_SUCCESS);

    ASSERT_EQ(r.Marks(TAPE_SETMARKS, 1, true), TAPE_STATUS_SUCCESS);
    EXPECT_TRUE(r.drive.Busy());
    // The readiness check arrives while the marks are being written: 2/00/16.
    EXPECT_EQ(r.Status(), TAPE_STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(r.Status(), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Kinds(), "FS");
}

TEST(WriteMarksEndToEnd, MarksWrittenMidTapeBecomeTheNewEndOfData)
{
    Rig r;
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Write(4, 0x10), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 1), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Marks(TAPE_FILEMARKS, 1), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Kinds(), "BF");
    ASSERT_EQ(r.Position(TAPE_SPACE_END_OF_DATA, 0), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION).second, 2u);
}

// ---- a tape with data, filemarks and a setmark ---------------------------------------------

// Lays out B B F B S B F F B (end of data at 9) through the driver and the write path.
void BuildLayout(Rig& r)
{
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Write(2, 0x10), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Marks(TAPE_FILEMARKS, 1), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Write(1, 0x20), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Marks(TAPE_SETMARKS, 1), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Write(1, 0x30), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Marks(TAPE_FILEMARKS, 2), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Write(1, 0x40), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Kinds(), "BBFBSBFFB");
}

struct SpaceRow {
    const char* name;
    bool reportSetmarks;
    ULONG start;  // logical block to start from
    ULONG method;
    LONG count;
    TAPE_STATUS status;
    ULONG end;  // logical block afterwards
};
class SpaceEndToEnd : public ::testing::TestWithParam<SpaceRow> {};

TEST_P(SpaceEndToEnd, EndsWhereTheDriveStops)
{
    const SpaceRow& row = GetParam();
    Rig r;
    BuildLayout(r);
    ASSERT_EQ(r.SetDrive(true, row.reportSetmarks), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.drive.settings().reportSetmarks, row.reportSetmarks);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, static_cast<LONG>(row.start)), TAPE_STATUS_SUCCESS);

    EXPECT_EQ(r.Position(row.method, row.count), row.status);
    EXPECT_EQ(r.Tape().position, row.end);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{1}, row.end));
    EXPECT_EQ(r.Where(TAPE_ABSOLUTE_POSITION), std::make_pair(ULONG{0}, row.end));
    EXPECT_EQ(r.Kinds(), "BBFBSBFFB");  // spacing never writes
}

INSTANTIATE_TEST_SUITE_P(
    Methods, SpaceEndToEnd,
    ::testing::Values(
        SpaceRow{"FilemarkForward", false, 0, TAPE_SPACE_FILEMARKS, 1, TAPE_STATUS_SUCCESS, 3},
        SpaceRow{"FilemarksForwardPassTheSetmark", false, 0, TAPE_SPACE_FILEMARKS, 2,
                 TAPE_STATUS_SUCCESS, 7},
        SpaceRow{"FilemarksForwardStopAtAReportedSetmark", true, 0, TAPE_SPACE_FILEMARKS, 2,
                 TAPE_STATUS_SETMARK_DETECTED, 5},
        SpaceRow{"FilemarksPastEndOfData", false, 0, TAPE_SPACE_FILEMARKS, 5,
                 TAPE_STATUS_NO_DATA_DETECTED, 9},
        SpaceRow{"FilemarkBack", false, 9, TAPE_SPACE_FILEMARKS, -1, TAPE_STATUS_SUCCESS, 7},
        SpaceRow{"FilemarksBackPassTheSetmark", false, 9, TAPE_SPACE_FILEMARKS, -3,
                 TAPE_STATUS_SUCCESS, 2},
        SpaceRow{"FilemarksBackStopAtAReportedSetmark", true, 9, TAPE_SPACE_FILEMARKS, -3,
                 TAPE_STATUS_SETMARK_DETECTED, 4},
        SpaceRow{"FilemarksBackPastTheBeginning", false, 9, TAPE_SPACE_FILEMARKS, -4,
                 TAPE_STATUS_BEGINNING_OF_MEDIA, 0},
        SpaceRow{"SetmarkForward", false, 0, TAPE_SPACE_SETMARKS, 1, TAPE_STATUS_SUCCESS, 5},
        SpaceRow{"SetmarkBack", false, 9, TAPE_SPACE_SETMARKS, -1, TAPE_STATUS_SUCCESS, 4},
        SpaceRow{"SetmarkPastEndOfData", false, 5, TAPE_SPACE_SETMARKS, 1,
                 TAPE_STATUS_NO_DATA_DETECTED, 9},
        SpaceRow{"SetmarkBackPastTheBeginning", false, 3, TAPE_SPACE_SETMARKS, -1,
                 TAPE_STATUS_BEGINNING_OF_MEDIA, 0},
        SpaceRow{"SequentialFilemarksForward", false, 0, TAPE_SPACE_SEQUENTIAL_FMKS, 2,
                 TAPE_STATUS_SUCCESS, 8},
        SpaceRow{"SequentialFilemarksBack", false, 9, TAPE_SPACE_SEQUENTIAL_FMKS, -2,
                 TAPE_STATUS_SUCCESS, 6},
        SpaceRow{"SequentialFilemarksNotOnTape", false, 0, TAPE_SPACE_SEQUENTIAL_FMKS, 3,
                 TAPE_STATUS_NO_DATA_DETECTED, 9},
        SpaceRow{"SequentialSetmarkForward", false, 0, TAPE_SPACE_SEQUENTIAL_SMKS, 1,
                 TAPE_STATUS_SUCCESS, 5},
        SpaceRow{"BlocksForward", false, 0, TAPE_SPACE_RELATIVE_BLOCKS, 2, TAPE_STATUS_SUCCESS, 2},
        SpaceRow{"BlocksForwardStopPastAFilemark", false, 0, TAPE_SPACE_RELATIVE_BLOCKS, 3,
                 TAPE_STATUS_FILEMARK_DETECTED, 3},
        SpaceRow{"BlocksBackPassAnUnreportedSetmark", false, 5, TAPE_SPACE_RELATIVE_BLOCKS, -1,
                 TAPE_STATUS_SUCCESS, 3},
        SpaceRow{"BlocksBackStopAtAReportedSetmark", true, 5, TAPE_SPACE_RELATIVE_BLOCKS, -1,
                 TAPE_STATUS_SETMARK_DETECTED, 4},
        SpaceRow{"BlocksBackStopBeforeAFilemark", false, 3, TAPE_SPACE_RELATIVE_BLOCKS, -1,
                 TAPE_STATUS_FILEMARK_DETECTED, 2},
        SpaceRow{"BlocksBackPastTheBeginning", false, 1, TAPE_SPACE_RELATIVE_BLOCKS, -5,
                 TAPE_STATUS_BEGINNING_OF_MEDIA, 0},
        SpaceRow{"EndOfData", false, 0, TAPE_SPACE_END_OF_DATA, 0, TAPE_STATUS_SUCCESS, 9}),
    [](const auto& info) { return std::string(info.param.name); });

struct LocateRow {
    const char* name;
    ULONG method;
    ULONG offset;
    bool immediate;
    TAPE_STATUS status;
    ULONG end;
};
class LocateEndToEnd : public ::testing::TestWithParam<LocateRow> {};

TEST_P(LocateEndToEnd, MovesFromEndOfDataToTheBlockAsked)
{
    const LocateRow& row = GetParam();
    Rig r;
    BuildLayout(r);
    ASSERT_EQ(r.Position(TAPE_SPACE_END_OF_DATA, 0), TAPE_STATUS_SUCCESS);

    EXPECT_EQ(r.Position(row.method, static_cast<LONG>(row.offset), 0, row.immediate), row.status);
    EXPECT_EQ(r.Tape().partition, 0u);
    EXPECT_EQ(r.Tape().position, row.end);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{1}, row.end));
    EXPECT_EQ(r.Where(TAPE_ABSOLUTE_POSITION), std::make_pair(ULONG{0}, row.end));
    EXPECT_EQ(r.CurrentPartition(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, LocateEndToEnd,
    ::testing::Values(
        LocateRow{"Rewind", TAPE_REWIND, 0, false, TAPE_STATUS_SUCCESS, 0},
        LocateRow{"RewindImmediate", TAPE_REWIND, 0, true, TAPE_STATUS_SUCCESS, 0},
        LocateRow{"AbsoluteBlock", TAPE_ABSOLUTE_BLOCK, 5, false, TAPE_STATUS_SUCCESS, 5},
        LocateRow{"AbsoluteBlockImmediate", TAPE_ABSOLUTE_BLOCK, 4, true, TAPE_STATUS_SUCCESS, 4},
        LocateRow{"LogicalBlock", TAPE_LOGICAL_BLOCK, 3, false, TAPE_STATUS_SUCCESS, 3},
        LocateRow{"LogicalBlockImmediate", TAPE_LOGICAL_BLOCK, 1, true, TAPE_STATUS_SUCCESS, 1},
        LocateRow{"LogicalBlockPastEndOfData", TAPE_LOGICAL_BLOCK, 20, false,
                  TAPE_STATUS_NO_DATA_DETECTED, 9},
        // The drive's own address names partition 1 in its top bits; this tape has one.
        LocateRow{"AbsoluteBlockInAMissingPartition", TAPE_ABSOLUTE_BLOCK, 0x40000001, false,
                  TAPE_STATUS_INVALID_DEVICE_REQUEST, 9}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- long erase ----------------------------------------------------------------------------

class EraseEndToEnd : public ::testing::TestWithParam<bool> {};

TEST_P(EraseEndToEnd, LongEraseEndsTheDataWhereTheTapeStands)
{
    Rig r;
    BuildLayout(r);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 3), TAPE_STATUS_SUCCESS);

    EXPECT_EQ(r.Erase(TAPE_ERASE_LONG, GetParam()), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Opcodes(), (std::vector<uint8_t>{0x19}));
    EXPECT_EQ(r.Kinds(), "BBF");
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION).second, 3u);
    ASSERT_EQ(r.Position(TAPE_SPACE_END_OF_DATA, 0), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION).second, 3u);
    TAPE_GET_MEDIA_PARAMETERS media{};
    ASSERT_EQ(r.Run(Request::GetMediaParameters, &media), TAPE_STATUS_SUCCESS);
    // Two blocks of 512 bytes are left: 2,048,000,000 - 1024 bytes, in whole units of 1024.
    EXPECT_EQ(media.Remaining.QuadPart, 2047998976LL);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutImmediate, EraseEndToEnd, ::testing::Bool());

// ---- a logical locate after the drive changed partition on its own -------------------------

// The driver's CurrentPartition no longer says where the tape stands once the drive moved
// between partitions by itself; a logical locate to the partition the driver still believes
// current must land there all the same, or the next read (or write) uses the other partition.
struct StaleRow {
    const char* name;
    void (*moveBehindTheDriver)(Rig& r);  // leaves the tape in the partition not named below
    ULONG partition;                      // the logical locate's partition, still "current"
    uint8_t fill;                         // the first byte of that partition's block 0
};
class StalePartitionEndToEnd : public ::testing::TestWithParam<StaleRow> {};

TEST_P(StalePartitionEndToEnd, LogicalLocateReadsTheNamedPartition)
{
    const StaleRow& row = GetParam();
    Rig r;
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Partition(TAPE_INITIATOR_PARTITIONS, 2, 100), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Write(2, 0xA0), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 2), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Write(2, 0xB0), TAPE_STATUS_SUCCESS);

    row.moveBehindTheDriver(r);
    ASSERT_EQ(r.CurrentPartition(), row.partition);
    ASSERT_NE(r.Where(TAPE_LOGICAL_POSITION).first, row.partition);

    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 1, row.partition), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(row.partition, ULONG{1}));
    std::vector<uint8_t> block(512);
    const host::TransferResult read =
        host::ReadBlocks(*r.device, block.data(), block.size(), 512, &r.tr);
    ASSERT_EQ(read.status, TAPE_STATUS_SUCCESS);
    EXPECT_EQ(block.front(), row.fill + 1);
    EXPECT_EQ(r.CurrentPartition(), row.partition);
}

INSTANTIATE_TEST_SUITE_P(
    Moves, StalePartitionEndToEnd,
    ::testing::Values(StaleRow{"LoadLeavesTheTapeInTheFirstPartition",
                               [](Rig& r) {
                                   ASSERT_EQ(r.Prepare(TAPE_UNLOAD), TAPE_STATUS_SUCCESS);
                                   ASSERT_EQ(r.Prepare(TAPE_LOAD), TAPE_STATUS_SUCCESS);
                               },
                               2, 0xB0},
                      StaleRow{"AbsoluteLocateCrossesIntoTheOtherPartition",
                               [](Rig& r) {
                                   ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 1),
                                             TAPE_STATUS_SUCCESS);
                                   ASSERT_EQ(r.Position(TAPE_ABSOLUTE_BLOCK, 0x40000000),
                                             TAPE_STATUS_SUCCESS);
                               },
                               1, 0xA0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
