// The drive end to end: its parameters read and set, removal locked and the medium unloaded
// and taken out, the statuses a busy, empty, protected or terse drive produces once sense
// translation and the driver's refinement have had their say, and requests refused before
// anything reaches the drive.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/rig.h"

namespace e2e {
namespace {

TAPE_GET_DRIVE_PARAMETERS DriveParameters(Rig& r, TAPE_STATUS expected = TAPE_STATUS_SUCCESS)
{
    TAPE_GET_DRIVE_PARAMETERS p{};
    EXPECT_EQ(r.Run(Request::GetDriveParameters, &p), expected);
    return p;
}

size_t ModeSelects(const Rig& r)
{
    size_t n = 0;
    for (const uint8_t op : r.Opcodes()) {
        n += op == 0x15 ? 1 : 0;
    }
    return n;
}

// ---- drive parameters ------------------------------------------------------------------------

TEST(GetDriveParametersEndToEnd, ReportsTheDrivesLimitsAndFeatures)
{
    Rig r;
    ASSERT_TRUE(r.Ready());
    const TAPE_GET_DRIVE_PARAMETERS p = DriveParameters(r);
    EXPECT_EQ(p.MaximumBlockSize, 0xFFFFFFu);
    EXPECT_EQ(p.MinimumBlockSize, 1u);
    EXPECT_EQ(p.DefaultBlockSize, 512u);
    EXPECT_EQ(p.MaximumPartitionCount, 2u);
    EXPECT_EQ(p.FeaturesLow, 0x013A1FA4u);
    EXPECT_EQ(p.FeaturesHigh, 0x137FFA3Du);
    EXPECT_EQ(p.Compression, 1);  // the drive powers on compressing
    EXPECT_EQ(p.ReportSetmarks, 0);
    EXPECT_EQ(p.ECC, 0);
    EXPECT_EQ(p.DataPadding, 0);
    EXPECT_EQ(p.EOTWarningZoneSize, 0u);
    EXPECT_EQ(r.Opcodes(), (std::vector<uint8_t>{0x1A, 0x1A, 0x05}));
}

struct SettingsRow {
    bool compression;
    bool reportSetmarks;
};
class SetDriveParametersEndToEnd : public ::testing::TestWithParam<SettingsRow> {};

TEST_P(SetDriveParametersEndToEnd, TheDriveTakesBothSettingsAndReportsThemBack)
{
    const SettingsRow row = GetParam();
    Rig r;
    ASSERT_TRUE(r.Ready());
    // Start from the opposite of what is asked, so every bit has to move.
    ASSERT_EQ(r.SetDrive(!row.compression, !row.reportSetmarks), TAPE_STATUS_SUCCESS);

    EXPECT_EQ(r.SetDrive(row.compression, row.reportSetmarks), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Opcodes(), (std::vector<uint8_t>{0x1A, 0x15, 0x1A, 0x15}));
    const sim::DriveSettings& s = r.drive.settings();
    EXPECT_EQ(s.compression, row.compression);
    EXPECT_EQ(s.reportSetmarks, row.reportSetmarks);
    EXPECT_TRUE(s.decompression);
    EXPECT_EQ(s.compressionAlgorithm, row.compression ? 0x20u : 0u);
    EXPECT_EQ(s.blockLength, 512u);

    const TAPE_GET_DRIVE_PARAMETERS p = DriveParameters(r);
    EXPECT_EQ(p.Compression, row.compression ? 1 : 0);
    EXPECT_EQ(p.ReportSetmarks, row.reportSetmarks ? 1 : 0);
    EXPECT_EQ(p.FeaturesLow, 0x013A1FA4u);
    EXPECT_EQ(p.FeaturesHigh, 0x137FFA3Du);
}

INSTANTIATE_TEST_SUITE_P(Settings, SetDriveParametersEndToEnd,
                         ::testing::Values(SettingsRow{false, false}, SettingsRow{false, true},
                                           SettingsRow{true, false}, SettingsRow{true, true}),
                         [](const auto& info) {
                             return std::string(info.param.compression ? "Compress" : "Plain") +
                                    (info.param.reportSetmarks ? "ReportSetmarks" : "");
                         });

TEST(DriveParametersEndToEnd, ADriveWithoutTheCompressionPage)
{
    sim::Options options;
    options.refuseCompressionPage = true;
    Rig r(options);
    ASSERT_TRUE(r.Ready());

    TAPE_GET_DRIVE_PARAMETERS p = DriveParameters(r);
    EXPECT_EQ(p.Compression, 0);
    EXPECT_EQ(p.FeaturesLow, 0x01381FA4u);
    EXPECT_EQ(p.FeaturesHigh, 0x137FF83Du);
    EXPECT_EQ(p.MaximumBlockSize, 0xFFFFFFu);

    EXPECT_EQ(r.SetDrive(true, true), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Opcodes(), (std::vector<uint8_t>{0x1A, 0x15, 0x1A}));
    EXPECT_EQ(ModeSelects(r), 1u);
    EXPECT_TRUE(r.drive.settings().reportSetmarks);
    p = DriveParameters(r);
    EXPECT_EQ(p.ReportSetmarks, 1);
    EXPECT_EQ(p.Compression, 0);
}

// ---- a drive whose MODE SENSE answers come short ---------------------------------------------

struct ShortRow {
    const char* name;
    std::function<TAPE_STATUS(Rig&)> run;
    TAPE_STATUS status;
    std::vector<uint8_t> opcodes;
};
class ShortModeSenseEndToEnd : public ::testing::TestWithParam<ShortRow> {};

TEST_P(ShortModeSenseEndToEnd, UnderrunsAreTakenWhereTheRequestExpectsThem)
{
    const ShortRow& row = GetParam();
    sim::Options options;
    options.modeSenseShortBy = 2;
    Rig r(options);
    ASSERT_TRUE(r.Ready());
    const sim::DriveSettings settings = r.drive.settings();

    EXPECT_EQ(row.run(r), row.status);
    EXPECT_EQ(r.Opcodes(), row.opcodes);
    EXPECT_TRUE(r.drive.settings() == settings);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ShortModeSenseEndToEnd,
    ::testing::Values(
        // The medium partition answer comes back with RETURN_ERRORS: the overrun is accepted,
        // and the bytes that matter (header, block descriptor, partitions defined) arrived.
        ShortRow{"GetMediaParameters",
                 [](Rig& r) {
                     TAPE_GET_MEDIA_PARAMETERS m{};
                     const TAPE_STATUS s = r.Run(Request::GetMediaParameters, &m);
                     EXPECT_EQ(m.BlockSize, 512u);
                     EXPECT_EQ(m.PartitionCount, 1u);
                     EXPECT_EQ(m.Capacity.QuadPart, 2048000000LL);
                     return s;
                 },
                 TAPE_STATUS_SUCCESS,
                 {0x00, 0x1A, 0x1A, 0x4D}},
        // The configuration page comes back with RETURN_ERRORS too, and only success or no
        // medium may go on: the overrun ends the request.
        ShortRow{"GetDriveParameters",
                 [](Rig& r) {
                     TAPE_GET_DRIVE_PARAMETERS p{};
                     return r.Run(Request::GetDriveParameters, &p);
                 },
                 TAPE_STATUS_DATA_OVERRUN,
                 {0x1A}},
        // A short configuration page skips the setmark change; a short compression page ends
        // the request before anything is written back.
        ShortRow{"SetDriveParameters",
                 [](Rig& r) { return r.SetDrive(false, true); },
                 TAPE_STATUS_DATA_OVERRUN,
                 {0x1A, 0x1A}},
        // Partitioning asks for no error return: the short answers pass as success.
        ShortRow{"CreatePartition",
                 [](Rig& r) {
                     const TAPE_STATUS s = r.Partition(TAPE_INITIATOR_PARTITIONS, 2, 100);
                     EXPECT_EQ(r.Tape().partitions.size(), 2u);
                     EXPECT_EQ(r.CurrentPartition(), 1u);
                     return s;
                 },
                 TAPE_STATUS_SUCCESS,
                 {0x00, 0x1A, 0x15, 0x1A}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- removal, unloading and an empty drive ---------------------------------------------------

TEST(PrepareEndToEnd, LockedRemovalRefusesUnloadUntilUnlocked)
{
    Rig r;
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Write(2, 0x10), TAPE_STATUS_SUCCESS);

    ASSERT_EQ(r.Prepare(TAPE_LOCK), TAPE_STATUS_SUCCESS);
    EXPECT_TRUE(r.drive.RemovalPrevented());
    EXPECT_EQ(r.Prepare(TAPE_UNLOAD), TAPE_STATUS_INVALID_DEVICE_REQUEST);
    const host::AnswerEvent* answer = r.LastSense();
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->sense[2] & 0x0F, 0x05);
    EXPECT_EQ(answer->sense[12], 0x53);
    EXPECT_EQ(answer->sense[13], 0x02);
    EXPECT_TRUE(r.drive.Loaded());
    EXPECT_FALSE(r.drive.RemoveCartridge().has_value());  // the eject button is locked too

    ASSERT_EQ(r.Prepare(TAPE_UNLOCK), TAPE_STATUS_SUCCESS);
    EXPECT_FALSE(r.drive.RemovalPrevented());
    EXPECT_EQ(r.Prepare(TAPE_UNLOAD), TAPE_STATUS_SUCCESS);
    EXPECT_FALSE(r.drive.Loaded());
    EXPECT_TRUE(r.drive.HasCartridge());
    // In the drive but unloaded: 2/04/02.
    EXPECT_EQ(r.Status(), TAPE_STATUS_DEVICE_NOT_READY);

    EXPECT_EQ(r.Prepare(TAPE_LOAD, true), TAPE_STATUS_SUCCESS);
    EXPECT_TRUE(r.drive.Loaded());
    EXPECT_EQ(r.Status(), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Kinds(), "BB");
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION), std::make_pair(ULONG{1}, ULONG{0}));
}

TEST(PrepareEndToEnd, AnEmptyDriveReportsNoMedia)
{
    Rig r;
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Prepare(TAPE_UNLOAD, true), TAPE_STATUS_SUCCESS);
    ASSERT_TRUE(r.drive.RemoveCartridge().has_value());

    // The first command after removal meets the unit attention 6/3A/00: the class driver
    // calls it a reset, the driver's refinement says what it is.
    EXPECT_EQ(r.Status(), TAPE_STATUS_NO_MEDIA);
    const host::AnswerEvent* answer = r.LastSense();
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->sense[2] & 0x0F, 0x06);
    EXPECT_EQ(answer->translated, TAPE_STATUS_BUS_RESET);
    EXPECT_EQ(answer->refined, TAPE_STATUS_NO_MEDIA);

    // From then on NOT READY 2/3A/00.
    EXPECT_EQ(r.Status(), TAPE_STATUS_NO_MEDIA);
    answer = r.LastSense();
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->sense[2] & 0x0F, 0x02);
    EXPECT_EQ(answer->translated, TAPE_STATUS_NO_MEDIA);

    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    EXPECT_EQ(r.Run(Request::GetPosition, &position), TAPE_STATUS_NO_MEDIA);
    EXPECT_EQ(r.Marks(TAPE_FILEMARKS, 1), TAPE_STATUS_NO_MEDIA);
    TAPE_GET_MEDIA_PARAMETERS media{};
    EXPECT_EQ(r.Run(Request::GetMediaParameters, &media), TAPE_STATUS_NO_MEDIA);

    // Drive parameters need no tape: the limits read as 0, the rest is the drive's.
    const TAPE_GET_DRIVE_PARAMETERS p = DriveParameters(r);
    EXPECT_EQ(p.MaximumBlockSize, 0u);
    EXPECT_EQ(p.MinimumBlockSize, 0u);
    EXPECT_EQ(p.DefaultBlockSize, 512u);
    EXPECT_EQ(p.MaximumPartitionCount, 2u);
    EXPECT_EQ(p.FeaturesLow, 0x01381FA4u);
    EXPECT_EQ(p.FeaturesHigh, 0x137FF83Du);

    ASSERT_TRUE(r.drive.InsertCartridge(sim::Cartridge{}));
    EXPECT_EQ(r.Status(), TAPE_STATUS_MEDIA_CHANGED);  // 6/28/00, once
    EXPECT_EQ(r.Status(), TAPE_STATUS_SUCCESS);
}

TEST(GetStatusEndToEnd, AResetAtPowerOnIsReportedOnceAndNotTakenForNoMedia)
{
    sim::Options options;
    options.unitAttentionAtPowerOn = true;
    Rig r(options);
    ASSERT_TRUE(r.Ready());  // INQUIRY does not consume the unit attention
    EXPECT_EQ(r.Status(), TAPE_STATUS_BUS_RESET);
    EXPECT_EQ(r.Status(), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Opcodes(), (std::vector<uint8_t>{0x00}));
}

// ---- a drive busy with an immediate operation --------------------------------------------------

struct BusyRow {
    const char* name;
    std::function<TAPE_STATUS(Rig&)> start;   // returns at once, the drive still busy
    std::function<TAPE_STATUS(Rig&)> second;  // asks for an immediate return as well
};
class AbortedEndToEnd : public ::testing::TestWithParam<BusyRow> {};

TEST_P(AbortedEndToEnd, ASecondImmediateCommandIsAbortedAndReportedNotReady)
{
    const BusyRow& row = GetParam();
    sim::Options options;
    options.immediateOperationCommands = 1;
    Rig r(options);
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Write(3, 0x10), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 2), TAPE_STATUS_SUCCESS);

    ASSERT_EQ(row.start(r), TAPE_STATUS_SUCCESS);
    ASSERT_TRUE(r.drive.Busy());
    const sim::Cartridge before = r.Tape();

    EXPECT_EQ(row.second(r), TAPE_STATUS_DEVICE_NOT_READY);
    const host::AnswerEvent* answer = r.LastSense();
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->sense[2] & 0x0F, 0x0B);
    EXPECT_EQ(answer->sense[12], 0x00);
    EXPECT_EQ(answer->sense[13], 0x16);
    EXPECT_EQ(answer->translated, TAPE_STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(answer->refined, TAPE_STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(r.Tape() == before);  // nothing moved, nothing written
    EXPECT_FALSE(r.drive.Busy());

    // Retried once the operation is over, it goes through.
    EXPECT_EQ(row.second(r), TAPE_STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, AbortedEndToEnd,
    ::testing::Values(
        BusyRow{"RewindThenRewind", [](Rig& r) { return r.Position(TAPE_REWIND, 0, 0, true); },
                [](Rig& r) { return r.Position(TAPE_REWIND, 0, 0, true); }},
        BusyRow{"EraseThenFilemark", [](Rig& r) { return r.Erase(TAPE_ERASE_LONG, true); },
                [](Rig& r) { return r.Marks(TAPE_FILEMARKS, 1, true); }},
        BusyRow{"SetmarkThenAbsoluteLocate", [](Rig& r) { return r.Marks(TAPE_SETMARKS, 1, true); },
                [](Rig& r) { return r.Position(TAPE_ABSOLUTE_BLOCK, 1, 0, true); }},
        BusyRow{"LogicalLocateThenErase",
                [](Rig& r) { return r.Position(TAPE_LOGICAL_BLOCK, 1, 0, true); },
                [](Rig& r) { return r.Erase(TAPE_ERASE_LONG, true); }},
        BusyRow{"LoadThenUnload", [](Rig& r) { return r.Prepare(TAPE_LOAD, true); },
                [](Rig& r) { return r.Prepare(TAPE_UNLOAD, true); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AbortedEndToEnd, ACommandThatWaitsIsToldNotReadyWithoutTheRefinement)
{
    sim::Options options;
    options.immediateOperationCommands = 1;
    Rig r(options);
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Position(TAPE_REWIND, 0, 0, true), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Status(), TAPE_STATUS_DEVICE_NOT_READY);
    const host::AnswerEvent* answer = r.LastSense();
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->sense[2] & 0x0F, 0x02);  // 2/00/1A, rewinding
    EXPECT_EQ(answer->sense[13], 0x1A);
    EXPECT_EQ(answer->translated, TAPE_STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(r.Status(), TAPE_STATUS_SUCCESS);
}

// ---- a write-protected cartridge --------------------------------------------------------------

struct ProtectedRow {
    const char* name;
    std::function<TAPE_STATUS(Rig&)> run;
};
class WriteProtectedEndToEnd : public ::testing::TestWithParam<ProtectedRow> {};

sim::Cartridge ProtectedCartridge()
{
    sim::Cartridge c;
    c.writeProtected = true;
    c.partitions[0].objects = {sim::TapeObject::Block(std::vector<uint8_t>(512, 0x5A)),
                               sim::TapeObject::Filemark()};
    return c;
}

TEST_P(WriteProtectedEndToEnd, EveryWriteIsRefusedAndTheTapeStaysAsItWas)
{
    Rig r(sim::Options{}, ProtectedCartridge());
    ASSERT_TRUE(r.Ready());
    const sim::Cartridge before = r.Tape();
    EXPECT_EQ(GetParam().run(r), TAPE_STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_TRUE(r.Tape() == before);
    EXPECT_EQ(r.CurrentPartition(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, WriteProtectedEndToEnd,
    ::testing::Values(
        ProtectedRow{"Filemarks", [](Rig& r) { return r.Marks(TAPE_FILEMARKS, 1); }},
        ProtectedRow{"SetmarksImmediate", [](Rig& r) { return r.Marks(TAPE_SETMARKS, 2, true); }},
        ProtectedRow{"LongErase", [](Rig& r) { return r.Erase(TAPE_ERASE_LONG); }},
        ProtectedRow{"TwoPartitions",
                     [](Rig& r) { return r.Partition(TAPE_INITIATOR_PARTITIONS, 2, 100); }},
        ProtectedRow{"DataBlock", [](Rig& r) { return r.Write(1, 0x10); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteProtectedEndToEnd, MediaParametersFollowTheTab)
{
    Rig r(sim::Options{}, ProtectedCartridge());
    ASSERT_TRUE(r.Ready());
    TAPE_GET_MEDIA_PARAMETERS media{};
    ASSERT_EQ(r.Run(Request::GetMediaParameters, &media), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(media.WriteProtected, 1);
    // Reading and moving are still allowed.
    EXPECT_EQ(r.Position(TAPE_SPACE_FILEMARKS, 1), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Where(TAPE_LOGICAL_POSITION).second, 2u);

    r.drive.SetWriteProtected(false);
    ASSERT_EQ(r.Run(Request::GetMediaParameters, &media), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(media.WriteProtected, 0);
    EXPECT_EQ(r.Marks(TAPE_FILEMARKS, 1), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(r.Kinds(), "BFF");
}

// ---- requests refused before the drive sees them ---------------------------------------------

struct RefusedRow {
    const char* name;
    std::function<TAPE_STATUS(Rig&)> run;
    TAPE_STATUS status;
    std::vector<uint8_t> opcodes;  // what reached the drive: at most the readiness check
};
class RefusedEndToEnd : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(RefusedEndToEnd, NothingButTheReadinessCheckReachesTheDrive)
{
    const RefusedRow& row = GetParam();
    Rig r;
    ASSERT_TRUE(r.Ready());
    ASSERT_EQ(r.Write(2, 0x10), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Marks(TAPE_FILEMARKS, 1), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(r.Position(TAPE_LOGICAL_BLOCK, 1), TAPE_STATUS_SUCCESS);
    const sim::Cartridge before = r.Tape();
    const uint64_t count = r.drive.CommandCount();

    EXPECT_EQ(row.run(r), row.status);
    EXPECT_EQ(r.drive.CommandCount(), count + row.opcodes.size());
    EXPECT_EQ(r.Opcodes(), row.opcodes);
    EXPECT_TRUE(r.Tape() == before);
    EXPECT_TRUE(r.drive.Loaded());
    EXPECT_FALSE(r.drive.RemovalPrevented());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RefusedEndToEnd,
    ::testing::Values(
        RefusedRow{"Tension",
                   [](Rig& r) { return r.Prepare(TAPE_TENSION); },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {}},
        RefusedRow{"Format",
                   [](Rig& r) { return r.Prepare(TAPE_FORMAT); },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {}},
        RefusedRow{"LockImmediate",
                   [](Rig& r) { return r.Prepare(TAPE_LOCK, true); },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {}},
        RefusedRow{"UnlockImmediate",
                   [](Rig& r) { return r.Prepare(TAPE_UNLOCK, true); },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {}},
        RefusedRow{"ShortErase",
                   [](Rig& r) { return r.Erase(TAPE_ERASE_SHORT); },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {}},
        RefusedRow{"ShortFilemarks",
                   [](Rig& r) { return r.Marks(TAPE_SHORT_FILEMARKS, 1); },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {}},
        RefusedRow{"LongFilemarks",
                   [](Rig& r) { return r.Marks(TAPE_LONG_FILEMARKS, 1, true); },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {}},
        RefusedRow{"MarksCountWiderThanItsField",
                   [](Rig& r) { return r.Marks(TAPE_FILEMARKS, 0x1000000); },
                   TAPE_STATUS_INVALID_PARAMETER,
                   {}},
        RefusedRow{"PseudoLogicalLocate",
                   [](Rig& r) { return r.Position(TAPE_PSEUDO_LOGICAL_BLOCK, 0); },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {}},
        RefusedRow{"SpaceImmediate",
                   [](Rig& r) { return r.Position(TAPE_SPACE_FILEMARKS, 1, 0, true); },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {}},
        RefusedRow{"UnknownMethod",
                   [](Rig& r) { return r.Position(10, 0); },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {}},
        RefusedRow{"SpaceCountWiderThanItsField",
                   [](Rig& r) { return r.Position(TAPE_SPACE_RELATIVE_BLOCKS, 0x800000); },
                   TAPE_STATUS_INVALID_PARAMETER,
                   {}},
        RefusedRow{"PseudoLogicalPosition",
                   [](Rig& r) {
                       TAPE_GET_POSITION p{};
                       p.Type = TAPE_PSEUDO_LOGICAL_POSITION;
                       const TAPE_STATUS s = r.Run(Request::GetPosition, &p);
                       EXPECT_EQ(p.Partition, 0u);
                       EXPECT_EQ(p.Offset.LowPart, 0u);
                       return s;
                   },
                   TAPE_STATUS_NOT_IMPLEMENTED,
                   {0x00}},
        RefusedRow{"BlockSizeWiderThanItsField",
                   [](Rig& r) { return r.SetBlockSize(0x1000000); },
                   TAPE_STATUS_INVALID_PARAMETER,
                   {0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
