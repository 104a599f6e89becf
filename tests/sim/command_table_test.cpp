// The drive's command table seen from outside: every operation code it knows, at its own CDB
// length, with the checks each row asks for (length, link bit, cartridge, unit attention,
// running immediate operation); every other code refused 5/20/00.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "tests/sim/sim_bench.h"

namespace {

struct OpcodeRow {
    uint8_t opcode;
    size_t cdbLength;
    bool needsMedium;        // empty drive: 2/3A/00 before the command looks at anything
    bool reportsAttention;   // a pending unit attention answers instead of the command
    bool waitsForOperation;  // refused 2/00/1A while an immediate rewind runs
    uint8_t immediateBit;    // with it set while busy: 0B/00/16
};

// From the drive's behaviour as SSC describes it for this model.
constexpr std::array<OpcodeRow, 17> kOpcodes = {{
    {0x00, 6, true, true, true, 0},      // TEST UNIT READY
    {0x01, 6, true, true, true, 0x01},   // REWIND
    {0x03, 6, false, false, false, 0},   // REQUEST SENSE
    {0x05, 6, true, true, false, 0},     // READ BLOCK LIMITS
    {0x08, 6, true, true, true, 0},      // READ(6)
    {0x0A, 6, true, true, true, 0},      // WRITE(6)
    {0x10, 6, true, true, true, 0x01},   // WRITE FILEMARKS
    {0x11, 6, true, true, true, 0},      // SPACE
    {0x12, 6, false, false, false, 0},   // INQUIRY
    {0x15, 6, true, true, true, 0},      // MODE SELECT(6)
    {0x19, 6, true, true, true, 0x02},   // ERASE
    {0x1A, 6, true, true, false, 0},     // MODE SENSE(6)
    {0x1B, 6, true, true, true, 0x01},   // LOAD UNLOAD (answers the empty drive itself)
    {0x1E, 6, false, true, false, 0},    // PREVENT ALLOW MEDIUM REMOVAL
    {0x2B, 10, true, true, true, 0x01},  // LOCATE(10)
    {0x34, 10, true, true, true, 0},     // READ POSITION
    {0x4D, 10, true, true, false, 0},    // LOG SENSE(10)
}};

std::vector<uint8_t> Cdb(const OpcodeRow& row)
{
    std::vector<uint8_t> cdb(row.cdbLength, 0);
    cdb[0] = row.opcode;
    return cdb;
}

bool Answers(const sim::Result& r, uint8_t key, uint8_t asc, uint8_t ascq)
{
    return r.status == 2 && Key(r) == key && Asc(r) == asc && Ascq(r) == ascq;
}

class CommandTable : public ::testing::TestWithParam<OpcodeRow> {};

TEST_P(CommandTable, ShortCdbAndLinkBitAreRefusedWithTheFieldPointer)
{
    const OpcodeRow& row = GetParam();
    Bench b;
    std::vector<uint8_t> cdb = Cdb(row);
    auto r = b.drive.Execute(cdb.data(), row.cdbLength - 1, sim::Direction::None, nullptr, 0);
    ASSERT_TRUE(Answers(r, 5, 0x24, 0));
    EXPECT_EQ(r.sense[15], 0xC0);  // SKSV, in the CDB
    EXPECT_EQ(r.sense[17], 0);     // the operation code's byte: the length it implies
    cdb.back() = 0x01;             // link
    r = b.Run(cdb);
    ASSERT_TRUE(Answers(r, 5, 0x24, 0));
    EXPECT_EQ(r.sense[15], 0xC8);  // bit 0 of
    EXPECT_EQ(r.sense[17], row.cdbLength - 1);
}

TEST_P(CommandTable, EmptyDriveAndUnitAttentionAsTheRowSays)
{
    const OpcodeRow& row = GetParam();
    Bench empty({}, std::nullopt);
    std::vector<uint8_t> out;
    auto r = empty.In(Cdb(row), 0, out);
    EXPECT_EQ(Answers(r, 2, 0x3A, 0), row.needsMedium);

    sim::Options options;
    options.unitAttentionAtPowerOn = true;
    Bench attention(options);
    r = attention.In(Cdb(row), 0, out);
    EXPECT_EQ(Answers(r, 6, 0x29, 0), row.reportsAttention);
}

TEST_P(CommandTable, RunningImmediateOperationAsTheRowSays)
{
    const OpcodeRow& row = GetParam();
    sim::Options options;
    options.immediateOperationCommands = 3;
    Bench b(options);
    ASSERT_EQ(b.Run({0x01, 0x01, 0, 0, 0, 0}).status, 0);  // immediate rewind
    std::vector<uint8_t> out;
    auto r = b.In(Cdb(row), 0, out);
    EXPECT_EQ(Answers(r, 2, 0x00, 0x1A), row.waitsForOperation);
    if (row.immediateBit != 0) {
        std::vector<uint8_t> cdb = Cdb(row);
        cdb[1] = row.immediateBit;
        r = b.In(cdb, 0, out);
        EXPECT_TRUE(Answers(r, 0x0B, 0x00, 0x16));
    }
}

INSTANTIATE_TEST_SUITE_P(Opcodes, CommandTable, ::testing::ValuesIn(kOpcodes));

TEST(CommandTable, EveryOtherOpcodeIsInvalidWhateverTheState)
{
    sim::Options options;
    options.unitAttentionAtPowerOn = true;  // the refusal comes before the attention
    Bench b(options, std::nullopt);
    for (unsigned opcode = 0; opcode < 256; ++opcode) {
        const bool known = std::any_of(kOpcodes.begin(), kOpcodes.end(),
                                       [&](const OpcodeRow& row) { return row.opcode == opcode; });
        if (known) {
            continue;
        }
        const uint8_t cdb[1] = {static_cast<uint8_t>(opcode)};  // too short for any command
        const auto r = b.drive.Execute(cdb, 1, sim::Direction::None, nullptr, 0);
        EXPECT_TRUE(Answers(r, 5, 0x20, 0)) << "opcode " << opcode;
        EXPECT_EQ(r.sense[15], 0) << "no field pointer for opcode " << opcode;
    }
    EXPECT_TRUE(Answers(b.Run({0x00, 0, 0, 0, 0, 0}), 6, 0x29, 0));  // still pending
}

}  // namespace
