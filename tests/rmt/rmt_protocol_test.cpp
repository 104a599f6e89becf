// `velmtape rmt` through the built binary: each table row sends requests as a client would
// (and as a hostile or broken one would) and expects the server's replies byte for byte.
#include <linux/mtio.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/tool/tool_run.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using tooltest::Slurp;
using tooltest::Spit;

struct Served {
    int exit = -1;
    std::string out;
    std::string err;
};

class RmtServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/velmtape-rmt-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    Served Run(const std::vector<std::string>& words, const std::string& input)
    {
        Spit(dir_ / ".in", input);
        const std::string out = (dir_ / ".out").string();
        const std::string err = (dir_ / ".err").string();
        Served served;
        served.exit = tooltest::Wait(
            tooltest::Start(words, dir_.string(), {-1, (dir_ / ".in")}, {-1, out}, {-1, err}));
        served.out = Slurp(out);
        served.err = Slurp(err);
        return served;
    }

    // A blank cartridge C with variable-length blocks; `options` go to `new`.
    void Cartridge(const std::vector<std::string>& options)
    {
        std::vector<std::string> words{"-f", "C", "new"};
        words.insert(words.end(), options.begin(), options.end());
        ASSERT_EQ(Run(words, "").exit, 0);
        ASSERT_EQ(Run({"-f", "C", "setblk", "0"}, "").exit, 0);
    }

    std::string Map() { return Run({"-f", "C", "map"}, "").out; }

    fs::path dir_;
};

struct Row {
    const char* name;
    std::vector<std::string> cartridge;  // options of `new`
    std::string request;
    std::string reply;
    int exit = 0;
};

std::string Repeat(char c, size_t n)
{
    return std::string(n, c);
}

std::string Letters(size_t n)
{
    std::string bytes;
    for (size_t i = 0; i < n; ++i) {
        bytes.push_back(static_cast<char>('a' + i % 26));
    }
    return bytes;
}

const std::string kNotOpen = "E9\nBad file descriptor: no tape is open (send O first)\n";
const std::string kCutShort = "E5\nInput/output error: the input ended inside a request\n";

std::vector<Row> Rows()
{
    return {
        {"CloseWritesAFilemarkAndRewindsReadsGiveOneBlockEach",
         {},
         "OC\n1\nW5\nhelloW3\nabcC\nOC\n0\nR100\nR100\nR100\nR100\nC\n",
         "A0\nA5\nA3\nA0\nA0\nA5\nhelloA3\nabcA0\nA0\nA0\n"},
        {"TheNoRewindNameAppendsAfterTheFilemark",
         {},
         "OC/nst\n1\nW2\nabC\nOC/nst\n1\nW2\ncdC\nOC/nst\n0\nI6\n1\nI1\n1\nR10\nR10\nR10\nC\n",
         "A0\nA2\nA0\nA0\nA2\nA0\nA0\nA0\nA0\nA2\ncdA0\nA0\nA0\n"},
        {"ABlockLongerThanTheReadIsRefusedAndPassed",
         {},
         "OC\n2\nW5\nhelloI6\n1\nR3\nR3\n",
         "A0\nA5\nA0\nE12\nCannot allocate memory: the block is 5 bytes long, more than the 3 "
         "bytes asked for; the tape has moved past it\nA0\n"},
        {"FixedBlocksMoveOnlyWhole",
         {},
         "OC\n2\nI20\n512\nW100\n" + Repeat('x', 100) + "W1024\n" + Letters(1024) +
             "I6\n1\nR1000\nR4096\nR4096\nR512\n",
         "A0\nA0\nE22\nInvalid argument: a write of 100 bytes is not a whole number of the "
         "drive's 512-byte blocks\nA1024\nA0\nE22\nInvalid argument: a read of 1000 bytes is "
         "not a whole number of the drive's 512-byte blocks\nA1024\n" +
             Letters(1024) + "A0\nA0\n"},
        {"AccessModesAreHonoured",
         {},
         "OC\n0\nW3\nabcI5\n1\nOC\nO_WRONLY\nR10\n",
         "A0\nE9\nBad file descriptor: the tape was opened for reading only\nE9\nBad file "
         "descriptor: the tape was opened for reading only\nA0\nE9\nBad file descriptor: the "
         "tape was opened for writing only\n"},
        {"EveryRequestNeedsAnOpenTape",
         {},
         "R10\nW3\nabcI8\n1\nSC\nL0\n0\nsF",
         kNotOpen + kNotOpen + kNotOpen + kNotOpen + kNotOpen + kNotOpen + kNotOpen},
        {"ASeekLeavesTheTapeAndAnswersZero",
         {},
         "OC\n0\nL0\n0\nL1\n100\nLSEEK_END\n0\nLx\n0\n",
         "A0\nA0\nA0\nA0\nE22\nInvalid argument: a seek needs a direction and an offset\n"},
        {"OperationsTheDriveLacksAreRefused",
         {},
         "OC\n0\nI0\n1\nI99\n1\nI21\n1\nI1\n99999999999\nI1\nabc\n",
         "A0\nE38\nFunction not implemented: the driver has no request that resets the drive\n"
         "E38\nFunction not implemented: no MTIOCTOP operation has this number (numbers as in "
         "Linux's mtio.h)\nE38\nFunction not implemented: the QT-7310 records one density; the "
         "driver has no request that sets it\nE22\nInvalid argument: the count 99999999999 "
         "does not fit mt_count\nE22\nInvalid argument: an operation needs a number and a "
         "count\n"},
        {"VersionOneAndTheExtendedOperations",
         {},
         "OC\n1\nW2\nabI-1\n0\nI5\n1\ni4\n1\ni0\n1\ni9\n1\nI9\n1\n",
         "A0\nA2\nA1\nA0\nA0\nE38\nFunction not implemented: the driver has no request that "
         "switches the drive's cache on\nE22\nInvalid argument: extended operations are "
         "numbered 0 to 5\nE22\nInvalid argument: version 1 numbers its operations 0 to 7\n"},
        {"StatusMembersOneByOne",
         {},
         "OC\n1\nW2\nabW2\ncdsFsBsTsDsRsEsfsz",
         "A0\nA2\nA2\nA0\nA2\nA114\nA0\nA0\nA0\nE22\nInvalid argument: Linux's struct mtget has "
         "no member that 'sf' could name\nE22\nInvalid argument: Linux's struct mtget has no "
         "member that 'sz' could name\n"},
        {"AWriteProtectedCartridgeAnswersEacces",
         {"--write-protected"},
         "OC\n2\nW3\nabcI5\n1\nR10\n",
         "A0\nE13\nPermission denied: WriteBlocks failed; 0 of 3 bytes reached the tape: "
         "TAPE_STATUS_MEDIA_WRITE_PROTECTED (the medium is write-protected)\nE13\nPermission "
         "denied: WriteMarks failed: TAPE_STATUS_MEDIA_WRITE_PROTECTED (the medium is "
         "write-protected)\nA0\n"},
        {"AnEmptyDriveAnswersEnomediumUntilLoaded",
         {},
         "OC\n0\nI7\n1\nR10\nI30\n1\nR10\n",
         "A0\nA0\nE123\nNo medium found: GetMediaParameters failed: TAPE_STATUS_NO_MEDIA (no "
         "medium in the drive)\nA0\nA0\n"},
        {"AFullTapeAnswersEnospc",
         {"--capacity", "1"},
         "OC\n1\nW600000\n" + Repeat('a', 600000) + "W600000\n" + Repeat('b', 600000) + "C\n",
         "A0\nA600000\nE28\nNo space left on device: the tape is full: nothing of the 600000 "
         "bytes was written: TAPE_STATUS_EOM_OVERFLOW (the write ran past the end of the "
         "medium)\nA0\n"},
        {"AWriteTooLongIsReadPastAndRefused",
         {},
         "OC\n1\nW16777216\n" + Repeat('z', 16777216) + "I8\n1\n",
         "A0\nE22\nInvalid argument: a write of 16777216 bytes is more than one request may "
         "carry (16777215)\nA0\n"},
        {"AHugeReadAsksForOneBlock", {}, "OC\n0\nR99999999999\n", "A0\nA0\n"},
        {"BadArgumentsAreRefusedAndServiceGoesOn",
         {},
         "Rabc\nOC\nFOO\nR-5\n",
         "E22\nInvalid argument: 'abc' is no byte count\nE22\nInvalid argument: open flags "
         "'FOO' name no access mode\nE22\nInvalid argument: '-5' is no byte count\n"},
        {"AnUnknownRequestEndsTheService",
         {},
         "XOC\n0\n",
         "E22\nInvalid argument: no request starts with 'X'\n",
         1},
        {"ABinaryByteEndsTheService",
         {},
         std::string(1, '\0'),
         "E22\nInvalid argument: no request starts with byte 0\n",
         1},
        {"ALineTooLongEndsTheService",
         {},
         "O" + Repeat('a', 5000) + "\n0\n",
         "E22\nInvalid argument: a request line is longer than 4096 bytes\n",
         1},
        {"InputEndingInsideARequest", {}, "OC\n", kCutShort, 1},
        {"InputEndingInsideWriteData", {}, "OC\n1\nW10\nabc", "A0\n" + kCutShort, 1},
        {"InputEndingInsideSkippedData", {}, "OC\n1\nW20000000\nxyz", "A0\n" + kCutShort, 1},
        {"AWriteWithoutACountEndsTheService",
         {},
         "W-1\nOC\n0\n",
         "E22\nInvalid argument: '-1' is no byte count\n",
         1},
        {"ACountBeyondSixtyFourBitsEndsTheService",
         {},
         "W99999999999999999999\n",
         "E22\nInvalid argument: '99999999999999999999' is no byte count\n",
         1},
    };
}

void PrintTo(const Row& row, std::ostream* os)
{
    *os << row.name;
}

class RmtRequests : public RmtServer, public ::testing::WithParamInterface<Row> {};

TEST_P(RmtRequests, RepliesByteForByte)
{
    const Row& row = GetParam();
    Cartridge(row.cartridge);
    const Served served = Run({"rmt"}, row.request);
    EXPECT_EQ(served.out, row.reply);
    EXPECT_EQ(served.exit, row.exit) << served.err;
}

INSTANTIATE_TEST_SUITE_P(Protocol, RmtRequests, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(RmtServer, AMissingCartridgeAnswersEnoent)
{
    const Served served = Run({"rmt"}, "Onope/nst\n0\n");
    EXPECT_THAT(served.out, StartsWith("E2\nNo such file or directory: nope: "));
    EXPECT_EQ(served.exit, 0);
}

TEST_F(RmtServer, AClientThatGoesAwayClosesAsCloseWould)
{
    // No C: the end of input closes the tape, so the data written gets its filemark, and a
    // block whose data never fully arrived is not written at all.
    Cartridge({});
    EXPECT_EQ(Run({"rmt"}, "OC/nst\n1\nW3\nabcW4\nab").out, "A0\nA3\n" + kCutShort);
    const std::string map = Map();
    EXPECT_THAT(map, HasSubstr("block 0: file 0: 1 block of 3 bytes, 3 bytes\n"
                               "  block 1: 1 filemark ending file 0\n"
                               "  block 2: >> the tape stands here (file 1, block 0)\n"
                               "  block 2: end of data\n"));
    EXPECT_THAT(map, HasSubstr("tape stands:      partition 1, block 2 (file 1, block 0)"));
}

TEST_F(RmtServer, StatusIsLinuxStructMtget)
{
    Cartridge({"--write-protected"});
    const Served served = Run({"rmt"}, "OC\n0\nSI7\n1\nS");
    const std::string head = "A0\nA48\n";
    ASSERT_EQ(served.out.size(), head.size() + 48 + 3 + 4 + 48) << served.out;
    ASSERT_EQ(served.out.substr(0, head.size()), head);
    ASSERT_EQ(served.out.substr(head.size() + 48, 7), "A0\nA48\n");
    mtget loaded{};
    mtget ejected{};
    std::memcpy(&loaded, served.out.data() + head.size(), sizeof(loaded));
    std::memcpy(&ejected, served.out.data() + head.size() + 48 + 7, sizeof(ejected));
    EXPECT_EQ(loaded.mt_type, 0x72);                                      // a SCSI-2 tape
    EXPECT_EQ(loaded.mt_resid, 0);                                        // partition 0
    EXPECT_EQ(loaded.mt_dsreg, 0);                                        // variable-length blocks
    EXPECT_EQ(static_cast<unsigned long>(loaded.mt_gstat), 0x45000000u);  // BOT, WR_PROT, ONLINE
    EXPECT_EQ(loaded.mt_fileno, 0);
    EXPECT_EQ(loaded.mt_blkno, 0);
    EXPECT_EQ(static_cast<unsigned long>(ejected.mt_gstat), 0x00040000u);  // DR_OPEN
    EXPECT_EQ(ejected.mt_fileno, -1);
    EXPECT_EQ(ejected.mt_blkno, -1);
}

TEST_F(RmtServer, FixedBlockSizeAndPositionInStatus)
{
    Cartridge({});
    const Served served = Run({"rmt"}, "OC\n1\nI20\n1024\nW2048\n" + Letters(2048) + "I5\n1\nS");
    const std::string head = "A0\nA0\nA2048\nA0\nA48\n";
    ASSERT_EQ(served.out.size(), head.size() + 48) << served.out;
    mtget status{};
    std::memcpy(&status, served.out.data() + head.size(), sizeof(status));
    EXPECT_EQ(status.mt_dsreg, 1024);
    EXPECT_EQ(static_cast<unsigned long>(status.mt_gstat), 0x89000000u);  // EOF, EOD, ONLINE
    EXPECT_EQ(status.mt_fileno, 1);
    EXPECT_EQ(status.mt_blkno, 0);
}

}  // namespace
