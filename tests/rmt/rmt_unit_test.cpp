// The remote tape server's pieces that need no drive: numbers, open flags and device names as
// requests carry them, and what a READ or WRITE did as st tells it.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tools/rmt_transfer.h"
#include "tools/rmt_wire.h"

namespace {

using tools::SenseFacts;
using namespace tools::rmt;

struct NumberRow {
    const char* text;
    std::optional<int64_t> value;
};

TEST(RmtParse, NumbersAreDecimalWithinSixtyFourBits)
{
    for (const NumberRow& row : {
             NumberRow{"10240", 10240},
             NumberRow{"-1", -1},
             NumberRow{"+7", 7},
             NumberRow{" 12 ", 12},
             NumberRow{"9223372036854775807", INT64_MAX},
             NumberRow{"-9223372036854775808", INT64_MIN},
             NumberRow{"9223372036854775808", std::nullopt},
             NumberRow{"99999999999999999999", std::nullopt},
             NumberRow{"", std::nullopt},
             NumberRow{"-", std::nullopt},
             NumberRow{"0x10", std::nullopt},
             NumberRow{"12abc", std::nullopt},
             NumberRow{"1 2", std::nullopt},
         }) {
        EXPECT_EQ(ParseNumber(row.text), row.value) << "'" << row.text << "'";
    }
}

struct FlagsRow {
    const char* text;
    std::optional<int> mode;
};

TEST(RmtParse, OpenFlagsGiveTheAccessModeNamesFirst)
{
    for (const FlagsRow& row : {
             FlagsRow{"0", 0},
             FlagsRow{"65 O_WRONLY|O_CREAT", 1},
             FlagsRow{"66 O_RDWR|O_CREAT", 2},
             FlagsRow{"1 O_WRONLY|O_CREAT|O_TRUNC", 1},
             FlagsRow{"2 RDONLY", 0},  // the names decide over the number
             FlagsRow{"CREAT|TRUNC", 0},
             FlagsRow{"O_RDWR", 2},
             FlagsRow{"577", 1},
             FlagsRow{"3", std::nullopt},  // no access mode has this value
             FlagsRow{"O_WRONLY|O_RDWR", std::nullopt},
             FlagsRow{"O_BOGUS", std::nullopt},
             FlagsRow{"O_RDONLY|", std::nullopt},
             FlagsRow{"x O_RDONLY", std::nullopt},
             FlagsRow{"-1", std::nullopt},
             FlagsRow{"", std::nullopt},
         }) {
        EXPECT_EQ(ParseAccessMode(row.text), row.mode) << "'" << row.text << "'";
    }
}

struct NameRow {
    const char* name;
    const char* target;
    bool rewind;
};

TEST(RmtParse, DeviceNamesSayWhetherCloseRewinds)
{
    for (const NameRow& row : {
             NameRow{"CART", "CART", true},
             NameRow{"CART/st", "CART", true},
             NameRow{"CART/nst", "CART", false},
             NameRow{"/tmp/x/CART/nst", "/tmp/x/CART", false},
             NameRow{"iscsi://127.0.0.1:3260/iqn.1997-08.com.velm:qt7310/1/nst",
                     "iscsi://127.0.0.1:3260/iqn.1997-08.com.velm:qt7310/1", false},
             NameRow{"/dev/nst0", "/dev/nst0", false},
             NameRow{"/dev/nst1l", "/dev/nst1l", false},
             NameRow{"/dev/st0", "/dev/st0", true},
             NameRow{"/nst", "/nst", true},  // nothing left to name a cartridge
             NameRow{"CARTnst", "CARTnst", true},
             NameRow{"CART/nst/", "CART/nst/", true},
         }) {
        const DeviceName name = ParseDeviceName(row.name);
        EXPECT_EQ(name.target, row.target) << row.name;
        EXPECT_EQ(name.rewindAtClose, row.rewind) << row.name;
    }
}

SenseFacts Residue(int32_t information, bool filemark = false, bool ili = false)
{
    SenseFacts sense;
    sense.information = information;
    sense.filemark = filemark;
    sense.incorrectLength = ili;
    return sense;
}

struct ReadRow {
    const char* what;
    TAPE_STATUS status;
    size_t moved;  // what the transport counted
    SenseFacts sense;
    uint32_t blockSize;
    size_t bytes;
    ReadDone::Stop stop;
    std::optional<uint64_t> blockLength = std::nullopt;
};

TEST(RmtTransfer, ReadsTrustTheResidueOverTheTransport)
{
    using Stop = ReadDone::Stop;
    for (const ReadRow& row : {
             ReadRow{"a short block under SILI", TAPE_STATUS_SUCCESS, 300, {}, 0, 300, Stop::None},
             ReadRow{"a filemark, nothing moved", TAPE_STATUS_FILEMARK_DETECTED, 10240,
                     Residue(10240, true), 0, 0, Stop::Mark},
             ReadRow{"fixed: two blocks, then a filemark", TAPE_STATUS_FILEMARK_DETECTED, 10240,
                     Residue(18, true), 512, 1024, Stop::Mark},
             ReadRow{"a setmark", TAPE_STATUS_SETMARK_DETECTED, 0, Residue(20, true), 512, 0,
                     Stop::Mark},
             ReadRow{"end of data", TAPE_STATUS_NO_DATA_DETECTED, 10240, Residue(10240), 0, 0,
                     Stop::EndOfData},
             ReadRow{"a block longer than the room", TAPE_STATUS_INVALID_BLOCK_LENGTH, 10240,
                     Residue(-5000, false, true), 0, 0, Stop::LongBlock, 15240},
             ReadRow{"a short block reported despite SILI", TAPE_STATUS_INVALID_BLOCK_LENGTH, 10240,
                     Residue(10000, false, true), 0, 240, Stop::None},
             ReadRow{"a short block reported, fewer bytes arrived",
                     TAPE_STATUS_INVALID_BLOCK_LENGTH, 100, Residue(10000, false, true), 0, 0,
                     Stop::Failed},
             ReadRow{"fixed: a block of another length", TAPE_STATUS_INVALID_BLOCK_LENGTH, 512,
                     Residue(19, false, true), 512, 512, Stop::OtherLength},
             ReadRow{"a medium error after one block", TAPE_STATUS_DEVICE_DATA_ERROR, 512,
                     Residue(19), 512, 512, Stop::Failed},
             ReadRow{"a residue larger than the transfer is ignored", TAPE_STATUS_FILEMARK_DETECTED,
                     0, Residue(999999, true), 0, 0, Stop::Mark},
         }) {
        const ReadDone done = InterpretRead(host::TransferResult{row.status, row.moved}, row.sense,
                                            row.blockSize, 10240);
        EXPECT_EQ(done.bytes, row.bytes) << row.what;
        EXPECT_EQ(done.stop, row.stop) << row.what;
        EXPECT_EQ(done.blockLength, row.blockLength) << row.what;
    }
}

struct WriteRow {
    const char* what;
    TAPE_STATUS status;
    size_t moved;
    SenseFacts sense;
    uint32_t blockSize;
    size_t bytes;
    WriteDone::Stop stop;
};

TEST(RmtTransfer, WritesNearTheEndSayWhatReachedTheTape)
{
    using Stop = WriteDone::Stop;
    for (const WriteRow& row : {
             WriteRow{"written", TAPE_STATUS_SUCCESS, 10240, {}, 0, 10240, Stop::None},
             WriteRow{"early warning, no residue",
                      TAPE_STATUS_END_OF_MEDIA,
                      0,
                      {},
                      0,
                      10240,
                      Stop::EarlyWarning},
             WriteRow{"early warning, fixed, residue 0", TAPE_STATUS_END_OF_MEDIA, 0, Residue(0),
                      512, 10240, Stop::EarlyWarning},
             WriteRow{"end of medium, nothing written", TAPE_STATUS_EOM_OVERFLOW, 0, Residue(10240),
                      0, 0, Stop::Full},
             WriteRow{"end of medium, fixed, 5 of 20 written", TAPE_STATUS_EOM_OVERFLOW, 10240,
                      Residue(15), 512, 2560, Stop::Full},
             WriteRow{
                 "write protected", TAPE_STATUS_MEDIA_WRITE_PROTECTED, 0, {}, 0, 0, Stop::Failed},
         }) {
        const WriteDone done = InterpretWrite(host::TransferResult{row.status, row.moved},
                                              row.sense, row.blockSize, 10240);
        EXPECT_EQ(done.bytes, row.bytes) << row.what;
        EXPECT_EQ(done.stop, row.stop) << row.what;
    }
}

}  // namespace
