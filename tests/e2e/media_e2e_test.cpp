// The medium end to end: media parameters from the drive's pages and capacity log, the block
// size set and used by the write path, two initiator partitions and back to one with the
// driver's current partition following the drive, and a cartridge carried over in a file.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/rig.h"

namespace e2e {
namespace {

TAPE_GET_MEDIA_PARAMETERS Media(Rig& r, TAPE_STATUS expected = TAPE_STATUS_SUCCESS)
{
    TAPE_GET_MEDIA_PARAMETERS media{};
    EXPECT_EQ(r.Run(Request::GetMediaParameters, &media), expected);
    return media;
}

// ---- media parameters ----------------------------------------------------------------------

TEST(GetMediaParametersEndToEnd, BlankTapeThenSpaceUsedByData)
{
    Rig r;
    ASSERT_TRUE(r.Ready());
    TAPE_GET_MEDIA_PARAMETERS media = Media(r);
    EXPECT_EQ(media.Capacity.QuadPart, 2048000000LL);  // 2,000,000 units of 1024 bytes
    EXPECT_EQ(media.Remaining.QuadPart, 2048000000LL);
    EXPECT_EQ(media.BlockSize, 512u);
    EXPECT_EQ(media.PartitionCount, 1u);
    EXPECT_EQ(media.WriteProtected, 0);
    EXPECT_EQ(r.CurrentPartition(), 0u);
    EXPECT_EQ(r.Opcodes(), (std::vector<uint8_t>{0x00, 0x1A, 0x1A, 0x4D}));

    ASSERT_EQ(r.Write(3, 0x10), TAPE_STATUS_SUCCESS);
    media = Media(r);
    EXPECT_EQ(media.Capacity.QuadPart, 2048000000LL);
    // 1536 bytes used: 1,999,998.5 units left, reported in whole units.
    EXPECT_EQ(media.Remaining.QuadPart, 2047997952LL);
}

struct BlockSizeRow {
    const char* name;
    ULONG blockSize;
    std::vector<size_t> recorded;  // block lengths on tape after the writes below
};
class SetMediaParametersEndToEnd : public ::testing::TestWithParam<BlockSizeRow> {};

TEST_P(SetMediaParametersEndToEnd, TheDriveTakesTheBlockSizeAndTheWritePathUsesIt)
{
    const BlockSizeRow& row = GetParam();
    Rig r;
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.SetBlockSize(row.blockSize), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Opcodes(), (std::vector<uint8_t>{0x00, 0x15}));
    EXPECT_EQ(r.drive.settings().blockLength, row.blockSize);
    EXPECT_EQ(Media(r).BlockSize, row.blockSize);

    if (row.blockSize == 0) {
        ASSERT_EQ(r.WriteVariable(700, 0x11), TAPE_STATUS_SUCCESS);
        ASSERT_EQ(r.WriteVariable(3, 0x22), TAPE_STATUS_SUCCESS);
    } else {
        ASSERT_EQ(r.Write(2, 0x11, row.blockSize), TAPE_STATUS_SUCCESS);
    }
    std::vector<size_t> lengths;
    const sim::Cartridge tape = r.Tape();
    for (const sim::TapeObject& o : tape.partitions[0].objects) {
        lengths.push_back(o.data.size());
    }
    EXPECT_EQ(lengths, row.recorded);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SetMediaParametersEndToEnd,
                         ::testing::Values(BlockSizeRow{"Variable", 0, {700, 3}},
                                           BlockSizeRow{"Fixed1024", 1024, {1024, 1024}},
                                           BlockSizeRow{"Fixed512", 512, {512, 512}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SetMediaParametersEndToEnd, AWriteInAnotherBlockSizeMovesNothing)
{
    Rig r;
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.SetBlockSize(1024), TAPE_STATUS_SUCCESS);
    // 512 bytes announced as one fixed block of 1024: the drive aborts the data phase
    // (0B/4B/00), which the driver's refinement reports as a drive not ready.
    EXPECT_EQ(r.Write(1, 0x11, 512), TAPE_STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(r.Kinds(), "");
}

// ---- partitions ----------------------------------------------------------------------------

TEST(PartitionsEndToEnd, TwoPartitionsAndMovingBetweenThem)
{
    Rig r;
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Write(3, 0x10), TAPE_STATUS_SUCCESS);

    ASSERT_EQ(r.Partition(TAPE_INITIATOR_PARTITIONS, 2, 100), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Opcodes(), (std::vector<uint8_t>{0x00, 0x1A, 0x15, 0x1A}));
    EXPECT_EQ(r.CurrentPartition(), 1u);
    sim::Cartridge tape = r.Tape();
    ASSERT_EQ(tape.partitions.size(), 2u);
    EXPECT_EQ(tape.partitions[0].capacityBytes, 100000000u);
    EXPECT_EQ(tape.partitions[1].capacityBytes, 1948000000u);
    EXPECT_EQ(r.Kinds(0), "");  // laying the tape out anew lost what was on it
    EXPECT_EQ(tape.partition, 0u);

    ASSERT_EQ(r.Write(2, 0xA0), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 2), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.CurrentPartition(), 2u);
    EXPECT_EQ(r.Tape().partition, 1u);
    ASSERT_EQ(r.Write(3, 0xB0), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Kinds(0), "BB");
    EXPECT_EQ(r.Kinds(1), "BBB");
    EXPECT_EQ(r.Tape().partitions[1].objects[0].data.at(0), 0xB0);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{2}, ULONG{3}));
    EXPECT_EQ(r.Where(TAPE_ABSOLUTE_POSITION), std::make_pair(ULONG{0}, ULONG{0x40000003}));

    // Partition 0 in the request means "stay where the tape is".
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 1, 0), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Tape().partition, 1u);
    EXPECT_EQ(r.CurrentPartition(), 2u);

    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 1, 1), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.CurrentPartition(), 1u);
    EXPECT_EQ(r.Tape().partition, 0u);
    EXPECT_EQ(r.Tape().position, 1u);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{1}, ULONG{1}));

    const TAPE_GET_MEDIA_PARAMETERS media = Media(r);
    EXPECT_EQ(media.PartitionCount, 2u);
    // 97,656 + 1,902,343 whole units of 1024 bytes.
    EXPECT_EQ(media.Capacity.QuadPart, 2047998976LL);
    // 1024 bytes used in the first partition, 1536 in the second: 97,655 + 1,902,342 units.
    EXPECT_EQ(media.Remaining.QuadPart, 2047996928LL);
    EXPECT_EQ(r.CurrentPartition(), 1u);
}

TEST(PartitionsEndToEnd, MediaParametersCatchUpAfterAnAbsoluteLocateIntoTheOtherPartition)
{
    Rig r;
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Partition(TAPE_INITIATOR_PARTITIONS, 2, 100), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 2), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Write(3, 0xB0), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 1), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.CurrentPartition(), 1u);

    // The drive's own address carries the partition; the driver does not follow it.
    ASSERT_EQ(r.Position(TAPE_ABSOLUTE_BLOCK, 0x40000002), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Tape().partition, 1u);
    EXPECT_EQ(r.Tape().position, 2u);
    EXPECT_EQ(r.CurrentPartition(), 1u);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{2}, ULONG{2}));

    EXPECT_EQ(Media(r).PartitionCount, 2u);
    EXPECT_EQ(r.CurrentPartition(), 2u);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 1), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Tape().partition, 0u);
    EXPECT_EQ(r.CurrentPartition(), 1u);
}

TEST(PartitionsEndToEnd, ADriverThatHasNotReadThePartitionsStaysPut)
{
    sim::Cartridge cartridge;
    cartridge.partitions = {sim::Partition{100000000, {}}, sim::Partition{1948000000, {}}};
    Rig r(sim::Options{}, cartridge);
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.CurrentPartition(), 0u);

    // Not known to be partitioned: no change of partition is sent.
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 2), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Tape().partition, 0u);
    EXPECT_EQ(r.CurrentPartition(), 0u);

    EXPECT_EQ(Media(r).PartitionCount, 2u);
    EXPECT_EQ(r.CurrentPartition(), 1u);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 2), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Tape().partition, 1u);
    EXPECT_EQ(r.CurrentPartition(), 2u);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{2}, ULONG{0}));
}

// Two partitions, the tape in the second with one block in each.
void Partitioned(Rig& r)
{
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Partition(TAPE_INITIATOR_PARTITIONS, 2, 100), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Write(1, 0xA0), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 2), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Write(1, 0xB0), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.CurrentPartition(), 2u);
}

struct OnePartitionRow {
    const char* name;
    ULONG method;
    ULONG count;
};
class OnePartitionEndToEnd : public ::testing::TestWithParam<OnePartitionRow> {};

TEST_P(OnePartitionEndToEnd, LaysTheWholeTapeOutAgain)
{
    const OnePartitionRow& row = GetParam();
    Rig r;
    Partitioned(r);

    EXPECT_EQ(r.Partition(row.method, row.count, 100), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Opcodes(), (std::vector<uint8_t>{0x00, 0x1A, 0x15}));
    EXPECT_EQ(r.CurrentPartition(), 0u);
    const sim::Cartridge tape = r.Tape();
    ASSERT_EQ(tape.partitions.size(), 1u);
    EXPECT_EQ(tape.partitions[0].capacityBytes, 2048000000u);
    EXPECT_EQ(r.Kinds(0), "");
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{1}, ULONG{0}));
    const TAPE_GET_MEDIA_PARAMETERS media = Media(r);
    EXPECT_EQ(media.PartitionCount, 1u);
    EXPECT_EQ(media.Capacity.QuadPart, 2048000000LL);
    EXPECT_EQ(r.CurrentPartition(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, OnePartitionEndToEnd,
    ::testing::Values(OnePartitionRow{"InitiatorCountOne", TAPE_INITIATOR_PARTITIONS, 1},
                      OnePartitionRow{"InitiatorCountZero", TAPE_INITIATOR_PARTITIONS, 0},
                      OnePartitionRow{"CountZeroIgnoresTheMethod", TAPE_FIXED_PARTITIONS, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedPartitionRow {
    const char* name;
    ULONG method;
    ULONG count;
    ULONG size;
    TAPE_STATUS status;
    std::vector<uint8_t> opcodes;
};
class RefusedPartitionEndToEnd : public ::testing::TestWithParam<RefusedPartitionRow> {};

TEST_P(RefusedPartitionEndToEnd, LeavesTapeAndCurrentPartitionAlone)
{
    const RefusedPartitionRow& row = GetParam();
    Rig r;
    Partitioned(r);
    const sim::Cartridge before = r.Tape();

    EXPECT_EQ(r.Partition(row.method, row.count, row.size), row.status);
    EXPECT_EQ(r.Opcodes(), row.opcodes);
    EXPECT_TRUE(r.Tape() == before);
    EXPECT_EQ(r.CurrentPartition(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Requests, RefusedPartitionEndToEnd,
                         ::testing::Values(RefusedPartitionRow{"FixedPartitions",
                                                               TAPE_FIXED_PARTITIONS,
                                                               2,
                                                               100,
                                                               TAPE_STATUS_NOT_IMPLEMENTED,
                                                               {0x00, 0x1A}},
                                           RefusedPartitionRow{"SelectPartitions",
                                                               TAPE_SELECT_PARTITIONS,
                                                               1,
                                                               0,
                                                               TAPE_STATUS_NOT_IMPLEMENTED,
                                                               {0x00, 0x1A}},
                                           RefusedPartitionRow{"ThreePartitions",
                                                               TAPE_INITIATOR_PARTITIONS,
                                                               3,
                                                               100,
                                                               TAPE_STATUS_INVALID_DEVICE_REQUEST,
                                                               {0x00, 0x1A}},
                                           RefusedPartitionRow{"SizeWiderThanItsField",
                                                               TAPE_INITIATOR_PARTITIONS,
                                                               2,
                                                               0x10000,
                                                               TAPE_STATUS_INVALID_PARAMETER,
                                                               {0x00, 0x1A}},
                                           // The drive refuses a first partition of the whole tape
                                           // or of nothing (5/26/00).
                                           RefusedPartitionRow{"FirstPartitionIsTheWholeTape",
                                                               TAPE_INITIATOR_PARTITIONS,
                                                               2,
                                                               2048,
                                                               TAPE_STATUS_INVALID_DEVICE_REQUEST,
                                                               {0x00, 0x1A, 0x15}},
                                           RefusedPartitionRow{"FirstPartitionIsEmpty",
                                                               TAPE_INITIATOR_PARTITIONS,
                                                               2,
                                                               0,
                                                               TAPE_STATUS_INVALID_DEVICE_REQUEST,
                                                               {0x00, 0x1A, 0x15}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PartitionsEndToEnd, ALocateToAPartitionTheTapeLacksChangesNothing)
{
    Rig r;
    Partitioned(r);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 1), TAPE_STATUS_SUCCESS);
    const sim::Cartridge before = r.Tape();

    // Partition 3: the drive refuses its LOCATE (5/24/00).
    EXPECT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 3), TAPE_STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.CurrentPartition(), 1u);
    // Partition 300 does not fit the LOCATE's partition byte: nothing is sent.
    const uint64_t count = r.drive.CommandCount();
    EXPECT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 300), TAPE_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.drive.CommandCount(), count);
    EXPECT_EQ(r.CurrentPartition(), 1u);
    EXPECT_TRUE(r.Tape() == before);
}

// ---- a cartridge carried over in a file ------------------------------------------------------

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/velmdat-e2e-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

TEST(CartridgeFileEndToEnd, AFreshDriveContinuesWhereTheSavedSessionLeftOff)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string file = (dir.path() / "session.tape").string();
    std::string error;
    {
        Rig r;
        Partitioned(r);  // partition 2 holds one block at 0
        ASSERT_EQ(r.SetBlockSize(1024), TAPE_STATUS_SUCCESS);
        ASSERT_EQ(r.Write(2, 0xC0, 1024), TAPE_STATUS_SUCCESS);
        ASSERT_EQ(r.Marks(TAPE_FILEMARKS, 1), TAPE_STATUS_SUCCESS);
        ASSERT_EQ(r.SetDrive(false, true), TAPE_STATUS_SUCCESS);
        ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 3, 2), TAPE_STATUS_SUCCESS);
        ASSERT_TRUE(sim::SaveCartridge(r.Tape(), file, error)) << error;
    }

    std::optional<sim::Cartridge> loaded = sim::LoadCartridge(file, error);
    ASSERT_TRUE(loaded.has_value()) << error;
    Rig r(sim::Options{}, *loaded);
    ASSERT_TRUE(r.Ready());
    EXPECT_EQ(r.CurrentPartition(), 0u);  // a new device knows nothing yet

    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{2}, ULONG{3}));
    const TAPE_GET_MEDIA_PARAMETERS media = Media(r);
    EXPECT_EQ(media.PartitionCount, 2u);
    EXPECT_EQ(media.BlockSize, 1024u);
    // 512 bytes used in the first partition, 512 + 2048 in the second.
    EXPECT_EQ(media.Remaining.QuadPart, (97655LL + 1902341LL) * 1024);
    EXPECT_EQ(r.CurrentPartition(), 2u);
    TAPE_GET_DRIVE_PARAMETERS drive{};
    ASSERT_EQ(r.Run(Request::GetDriveParameters, &drive), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(drive.Compression, 0);
    EXPECT_EQ(drive.ReportSetmarks, 1);

    // The second partition's data reads back through the class driver's read path.
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 1, 2), TAPE_STATUS_SUCCESS);
    std::vector<uint8_t> buffer(4096, 0);
    const host::TransferResult read =
        host::ReadBlocks(*r.device, buffer.data(), buffer.size(), 1024);
    EXPECT_EQ(read.status, TAPE_STATUS_FILEMARK_DETECTED);
    ASSERT_EQ(read.bytes, 2048u);
    EXPECT_EQ(buffer[0], 0xC0);
    EXPECT_EQ(buffer[2047], 0xC1);

    // And the first partition's block is still there.
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 0, 1), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.SetBlockSize(512), TAPE_STATUS_SUCCESS);
    const host::TransferResult first = host::ReadBlocks(*r.device, buffer.data(), 512, 512);
    EXPECT_EQ(first.status, TAPE_STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 0xA0);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{1}, ULONG{1}));
}

}  // namespace
}  // namespace e2e
