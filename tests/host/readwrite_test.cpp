// The class driver's own READ: which of the bytes a transport counted the drive vouches for, by
// GOOD or by a valid residue, and the drive's block length from its block descriptor.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "fake_driver.h"
#include "host/classdriver.h"
#include "host/readwrite.h"
#include "host/scripted_target.h"

namespace {

using host::Reply;

constexpr uint8_t kFilemark = 0x80;
constexpr uint8_t kEom = 0x40;
constexpr uint8_t kIli = 0x20;

class ReadWrite : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = fake::Claimed(driver, target);
        ASSERT_TRUE(device.has_value());
    }

    host::ClassDriver driver;
    host::ScriptedTarget target;
    std::optional<host::Device> device;
};

Reply Counted(Reply reply, size_t transferred)
{
    reply.transferred = transferred;
    return reply;
}

struct VouchRow {
    const char* name;
    uint32_t blockSize;
    size_t capacity;
    Reply reply;
    TAPE_STATUS status;
    size_t bytes;
    size_t moved;
    std::optional<size_t> reported;
};

class ReadVouch : public ReadWrite, public ::testing::WithParamInterface<VouchRow> {};

TEST_P(ReadVouch, BytesAreOnlyThoseTheDriveVouchesFor)
{
    const VouchRow& row = GetParam();
    target.Push(row.reply);
    std::vector<uint8_t> buffer(row.capacity);
    const host::ReadResult result =
        host::ReadBlocks(*device, buffer.data(), buffer.size(), row.blockSize);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.bytes, row.bytes);
    EXPECT_EQ(result.moved, row.moved);
    EXPECT_EQ(result.reported, row.reported);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReadVouch,
    ::testing::Values(
        VouchRow{"GoodShortVariableBlock", 0, 100, Reply::Data(std::vector<uint8_t>(40, 7)),
                 TAPE_STATUS_SUCCESS, 40, 40, 40},
        // tgt at end of data: the whole transfer "moved", the sense without a residue.
        VouchRow{"EndOfDataWithoutResidue", 0, 64, Counted(Reply::Check(0x8, 0, 0, kEom), 64),
                 TAPE_STATUS_NO_DATA_DETECTED, 0, 64, std::nullopt},
        VouchRow{"EndOfDataWithResidue", 0, 64, Counted(Reply::Check(0x8, 0, 5, 0, 64), 64),
                 TAPE_STATUS_NO_DATA_DETECTED, 0, 64, 0},
        VouchRow{"FixedFilemarkAfterTwoBlocks", 16, 64,
                 Counted(Reply::Check(0x0, 0, 1, kFilemark, 2), 64), TAPE_STATUS_FILEMARK_DETECTED,
                 32, 64, 32},
        // tgt's fixed READ at end of data: a medium error, no residue.
        VouchRow{"FixedStopWithoutResidue", 16, 64, Counted(Reply::Check(0x3, 0x31, 0), 64),
                 TAPE_STATUS_DEVICE_DATA_ERROR, 0, 64, std::nullopt},
        VouchRow{"ResidueBeyondTheTransfer", 16, 64,
                 Counted(Reply::Check(0x0, 0, 1, kFilemark, 5), 64), TAPE_STATUS_FILEMARK_DETECTED,
                 0, 64, std::nullopt},
        // tgt's short block under SILI: ILI, the residue right, the transport's count not.
        VouchRow{"ShortBlockReportedWithIli", 0, 100,
                 Counted(Reply::Check(0x0, 0, 0, kIli, 60), 60), TAPE_STATUS_INVALID_BLOCK_LENGTH,
                 40, 60, 40},
        VouchRow{"ShortBlockWhoseTailNeverCame", 0, 100,
                 Counted(Reply::Check(0x0, 0, 0, kIli, 20), 20), TAPE_STATUS_INVALID_BLOCK_LENGTH,
                 20, 20, 80},
        VouchRow{"LongerBlockFillsTheRoom", 0, 16, Counted(Reply::Check(0x0, 0, 0, kIli, -10), 16),
                 TAPE_STATUS_INVALID_BLOCK_LENGTH, 16, 16, 16}),
    [](const ::testing::TestParamInfo<VouchRow>& info) { return info.param.name; });

TEST_F(ReadWrite, BlockLengthComesFromTheBlockDescriptor)
{
    struct Row {
        Reply reply;
        std::optional<uint32_t> length;
    };
    for (const Row& row : {
             Row{Reply::Data({0x0B, 0, 0x10, 8, 0, 0, 0, 0, 0, 0, 0x02, 0x00}), 512},
             Row{Reply::Data({0x0B, 0, 0x10, 8, 0, 0, 0, 0, 0, 0, 0, 0}), 0},
             Row{Reply::Data({0x0B, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x00}), std::nullopt},
             Row{Reply::Data({0x0B, 0, 0x10, 8, 0, 0}), std::nullopt},
             Row{Reply::Check(0x5, 0x24, 0), std::nullopt},
         }) {
        target.Clear();
        target.Push(row.reply);
        EXPECT_EQ(host::DriveBlockLength(*device), row.length);
        ASSERT_EQ(target.received().size(), 1u);
        EXPECT_EQ(target.received()[0].cdb, (std::vector<uint8_t>{0x1A, 0, 0x10, 0, 0x0C, 0}));
    }
}

// A drive that writes into whatever room it is handed, data going out included, unless it
// promises not to; it keeps where that room was.
class HandedTarget : public host::ScriptedTarget {
public:
    bool promise = false;
    const uint8_t* handed = nullptr;
    host::ScsiAnswer Execute(const host::ScsiCommand& command) override
    {
        handed = command.data;
        host::ScsiAnswer answer = ScriptedTarget::Execute(command);
        if (!promise && command.data != nullptr) {
            const size_t from = command.direction == host::Direction::Out ? 0 : answer.transferred;
            std::fill(command.data + from, command.data + command.dataLength, 0xEE);
        }
        return answer;
    }
    bool TouchesOnlyWhatItMoves() const override { return promise; }
};

// Only a target that promises to leave alone what it does not move is handed the caller's
// own bytes; any other works on a copy, and the caller's bytes stay as they were.
TEST(HandedBuffer, OnlyATargetThatPromisesGetsTheCallersBytes)
{
    for (const bool promise : {false, true}) {
        SCOPED_TRACE(promise ? "promises" : "scribbles");
        host::ClassDriver driver;
        HandedTarget target;
        std::optional<host::Device> device = fake::Claimed(driver, target);
        ASSERT_TRUE(device.has_value());
        target.promise = promise;
        const std::vector<uint8_t> out{1, 2, 3, 4};
        target.Push(Reply::Good());
        EXPECT_EQ(host::WriteBlocks(*device, out.data(), out.size(), 0).status,
                  TAPE_STATUS_SUCCESS);
        EXPECT_EQ(target.handed == out.data(), promise);
        EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4}));
        std::vector<uint8_t> in(4, 0x55);
        target.Push(Reply::Data({9, 8}));
        EXPECT_EQ(host::ReadBlocks(*device, in.data(), in.size(), 0).bytes, 2u);
        EXPECT_EQ(target.handed == in.data(), promise);
        EXPECT_EQ(in, (std::vector<uint8_t>{9, 8, 0x55, 0x55}));
    }
}

}  // namespace
