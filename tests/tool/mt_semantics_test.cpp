// Tape semantics of velmtape through the built binary: file and block numbers and status bits
// as mt-st shows them, where the tape stands after a failure, settings across unload and
// load, what new --force replaces, the cartridge map, and the README's round trip.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tool_run.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using tooltest::Slurp;
using tooltest::Spit;

using tooltest::Ran;

struct CountRow {
    const char* steps;
    const char* where;  // mt-st's line
    const char* bits;   // mt-st's bits line
};

class MtSemantics : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/velmtape-mt-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        Spit(dir_ / "a", "hello world\n");
        std::string c;
        for (int i = 0; i < 3000; ++i) {
            c.push_back(static_cast<char>('A' + i % 26));
        }
        Spit(dir_ / "c", c);
    }
    void TearDown() override { fs::remove_all(dir_); }

    Ran V(const std::string& line, const std::string& tape = "t.tape")
    {
        std::vector<std::string> words{"-f", tape};
        std::string word;
        for (const char ch : line + " ") {
            if (ch != ' ') {
                word.push_back(ch);
            } else if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        }
        return tooltest::Run(words, dir_);
    }
    // Runs each command of a ';'-separated list; all must succeed except those marked '!'.
    void Steps(const std::string& steps)
    {
        size_t from = 0;
        while (from <= steps.size()) {
            size_t to = steps.find(';', from);
            to = to == std::string::npos ? steps.size() : to;
            std::string step = steps.substr(from, to - from);
            from = to + 1;
            const bool mayFail = step.find('!') != std::string::npos;
            if (mayFail) {
                step.erase(step.find('!'), 1);
            }
            if (step.find_first_not_of(' ') == std::string::npos) {
                continue;
            }
            const Ran run = V(step);
            if (!mayFail) {
                ASSERT_EQ(run.exit, 0) << step << "\n" << run.out << run.err;
            }
        }
    }

    // `status` after `row`'s steps shows mt-st's line and bits line.
    void ExpectStatus(const CountRow& row)
    {
        const Ran run = V("status");
        ASSERT_EQ(run.exit, 0) << row.steps << "\n" << run.err;
        EXPECT_THAT(run.out, HasSubstr("  " + std::string(row.where))) << row.steps;
        EXPECT_THAT(run.out, HasSubstr("\n  " + std::string(row.bits) + "\n"))
            << row.steps << run.out;
    }

    fs::path dir_;
};

TEST_F(MtSemantics, StatusCountsFilesAndBlocksAsMtStDoes)
{
    const std::string threeFiles = "new --force; write a; weof; write a; weof; write a; ";
    for (const CountRow& row : {
             CountRow{"new --force", "File number=0, block number=0, partition=0.", "BOT ONLINE"},
             CountRow{"new --force --write-protected", "File number=0, block number=0",
                      "BOT WR_PROT ONLINE"},
             CountRow{"rewind; fsf 2", "File number=2, block number=0, partition=0.", "EOF ONLINE"},
             CountRow{"rewind; fsf 1; fsr 1", "File number=1, block number=1", "ONLINE"},
             CountRow{"rewind; fsf 2; bsf 1", "File number=1, block number=-1", "ONLINE"},
             CountRow{"rewind; fsf 1; bsfm 1", "File number=1, block number=0", "EOF ONLINE"},
             CountRow{"rewind; !fsf 5", "File number=2, block number=-1", "EOD ONLINE"},
             CountRow{"rewind; fsf 1; read out", "File number=2, block number=0", "EOF ONLINE"},
             CountRow{"eod", "File number=-1, block number=-1", "EOD ONLINE"},
             CountRow{"seek 3 --absolute", "File number=-1, block number=-1", "ONLINE"},
             CountRow{"seek 3; seek 0", "File number=0, block number=0", "BOT ONLINE"},
             CountRow{"weof 2", "File number=4, block number=0", "EOF EOD ONLINE"},
             CountRow{"new --force; write a --weof; write c --weof",
                      "File number=2, block number=0", "EOF EOD ONLINE"},
             CountRow{"new --force; protect on; !write a --weof; protect off",
                      "File number=0, block number=0", "BOT ONLINE"},
             CountRow{"unload", "File number=-1, block number=-1.", "DR_OPEN"},
             CountRow{"unload; load", "File number=0, block number=0", "BOT ONLINE"},
         }) {
        std::string steps = row.steps;
        if (steps.rfind("new", 0) != 0) {
            steps.insert(0, threeFiles);
        }
        Steps(steps);
        ExpectStatus(row);
    }
}

TEST_F(MtSemantics, WriteWeofEndsTheTapeFileAsWriteThenWeofDoes)
{
    Steps("new; setblk 0; write a --weof; write c --weof; weof; rewind; fsf 1; read out");
    EXPECT_TRUE(Slurp(dir_ / "out") == Slurp(dir_ / "c"));
    const Ran map = V("map");
    EXPECT_THAT(map.out, HasSubstr("block 1: 1 filemark ending file 0\n"));
    EXPECT_THAT(map.out, HasSubstr("block 3: 2 filemarks ending files 1 to 2 (file 2 empty)\n"))
        << map.out;
    const Ran json = V("--json write a --weof");
    ASSERT_EQ(json.exit, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out)["result"]["filemarks"], 1);
}

TEST_F(MtSemantics, StatusAfterTheSecondFilemarkInJsonToo)
{
    Steps("new; write a; weof; write a; weof; write a; rewind; fsf 2");
    const Ran run = V("--json status");
    ASSERT_EQ(run.exit, 0) << run.err;
    const nlohmann::json answer = nlohmann::json::parse(run.out);
    EXPECT_EQ(answer["result"]["fileNumber"], 2);
    EXPECT_EQ(answer["result"]["blockNumber"], 0);
    EXPECT_EQ(answer["result"]["flags"], nlohmann::json::array({"EOF", "ONLINE"}));
    EXPECT_EQ(answer["result"]["generalStatus"], 0x81000000u);
}

TEST_F(MtSemantics, FailedReadSaysWhereTheTapeStandsAndHowLongTheBlockIs)
{
    Steps("new; write c; write -b 0 a; weof; rewind");
    Ran run = V("read out");
    EXPECT_EQ(run.exit, 2);
    EXPECT_EQ(run.out, "stopped at:       partition 1, block 7 (file 0, block 7)\n");
    EXPECT_EQ(run.err,
              "velmtape: t.tape: read: read failed after 3072 bytes: the next block is 12 bytes "
              "long, not 512 bytes; the tape has moved past it: the block on tape has another "
              "length than asked; the tape stands at partition 1, block 7 (file 0, block 7); to "
              "read it, go back over it with 'bsr' and read variable-length blocks: 'setblk 0' "
              "(or read --block-size 0)\n");
    EXPECT_FALSE(fs::exists(dir_ / "out"));
    // Nothing is lost: back over the block, it reads whole as a variable block.
    Steps("bsr 1; read -b 0 out");
    EXPECT_EQ(Slurp(dir_ / "out"), "hello world\n");
    run = V("--json read out2");
    EXPECT_EQ(nlohmann::json::parse(run.out)["result"]["stoppedAt"]["block"], 8);  // end of data
}

// A fixed transfer counts in the drive's blocks: a size the drive does not use is refused
// before the tape moves, with the drive's own.
TEST_F(MtSemantics, GivenBlockSizeTheDriveDoesNotUseIsRefusedBeforeTheTapeMoves)
{
    struct Row {
        const char* steps;
        const char* command;
        const char* says;
    };
    for (const Row& row : {
             Row{"new --force; write a; rewind; setblk 0", "read -b 512 out",
                 "read: the drive's block size is variable, not 512 bytes; give --block-size 0 "
                 "(variable-length blocks), or 'setblk 512' to set the drive to 512-byte "
                 "blocks\n"},
             Row{"new --force; write a; rewind", "write -b 1024 a",
                 "write: the drive's block size is 512 bytes, not 1024 bytes; give --block-size "
                 "512, or "
                 "'setblk 1024' to set the drive to 1024-byte blocks\n"},
         }) {
        Steps(row.steps);
        const Ran run = V(row.command);
        EXPECT_EQ(run.exit, 2) << row.command;
        EXPECT_EQ(run.err, "velmtape: t.tape: " + std::string(row.says)) << row.command;
        EXPECT_THAT(V("status").out, HasSubstr("File number=0, block number=0,")) << row.command;
        EXPECT_FALSE(fs::exists(dir_ / "out"));
    }
}

TEST_F(MtSemantics, FailedSpaceSaysWhereTheTapeStands)
{
    Steps("new; write a; weof; rewind");
    const Ran run = V("fsf 3");
    EXPECT_EQ(run.exit, 2);
    EXPECT_EQ(run.out, "stopped at:       partition 1, block 2 (file 1, block unknown)\n");
    EXPECT_THAT(run.err, HasSubstr("fsf: the tape reached the end of its data; the tape stands at "
                                   "partition 1, block 2 (file 1, block unknown); 'rewind', "
                                   "then 'fsf N', reaches tape file N"));
}

TEST_F(MtSemantics, DriveSettingsSurviveUnloadAndLoadAndResetOnlyWithNew)
{
    Steps("new; setblk 0; compression off; setmarks-report on; unload; load");
    Ran run = V("params");
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("block size:       variable\n"));
    EXPECT_THAT(run.out, HasSubstr("compression:      off\n"));
    EXPECT_THAT(run.out, HasSubstr("setmark report:   on\n"));
    Steps("new --force");
    run = V("params");
    EXPECT_THAT(run.out, HasSubstr("block size:       512 bytes (fixed)\n"));
    EXPECT_THAT(run.out, HasSubstr("compression:      on\n"));
    EXPECT_THAT(run.out, HasSubstr("setmark report:   off\n"));
}

TEST_F(MtSemantics, NewForceReplacesOnlyACartridge)
{
    Spit(dir_ / "notes.txt", "my notes\n");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    struct Row {
        const char* target;
        const char* err;
    };
    for (const Row& row : {
             Row{"notes.txt",
                 "velmtape: notes.txt: exists and is not a cartridge (neither a cartridge "
                 "folder nor an old cartridge file); --force replaces only a cartridge, so it "
                 "was left as it was\n"},
             Row{"fifo", "velmtape: fifo: is a FIFO, not a cartridge; nothing was read from it\n"},
             Row{"/dev/null",
                 "velmtape: /dev/null: is a character device, not a cartridge; nothing "
                 "was read from it\n"},
         }) {
        const Ran run = V("new --force", row.target);
        EXPECT_EQ(run.exit, 1) << row.target;
        EXPECT_EQ(run.err, row.err);
    }
    EXPECT_EQ(Slurp(dir_ / "notes.txt"), "my notes\n");
    Steps("new; write a");
    EXPECT_EQ(V("new --force").exit, 0);
    EXPECT_THAT(V("map").out, HasSubstr("  block 0: end of data\n"));
}

TEST_F(MtSemantics, APartitionAsLargeAsTheTapeIsRefusedWithTheTapesSize)
{
    Steps("new");
    const Ran run = V("mkpartition 3000");
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("mkpartition: the drive refused the command; the first "
                                   "partition must leave room for the second: the tape holds "
                                   "2048 MB\n"));
    EXPECT_THAT(V("map").out, HasSubstr("1 partition"));
}

TEST_F(MtSemantics, MapShowsFilesMarksAndWhereTheTapeStandsInBothPartitions)
{
    Steps(
        "new --capacity 100; mkpartition 40; write c; weof; setblk 0; write a; write c; weof 2;"
        "setpartition 2; wset; write a; setpartition 1; fsf 1");
    const Ran run = V("map");
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out,
              "map of t.tape (from the cartridge store, not from the drive)\n"
              "tape:             100.0 MB, density 0x24, writable, 2 partitions\n"
              "partition 1: 40.0 MB\n"
              "  block 0: file 0: 6 blocks of 512 bytes, 3.1 kB\n"
              "  block 6: 1 filemark ending file 0\n"
              "  block 7: >> the tape stands here (file 1, block 0)\n"
              "  block 7: file 1: 2 blocks of 12 to 3000 bytes, 3.0 kB\n"
              "  block 9: 2 filemarks ending files 1 to 2 (file 2 empty)\n"
              "  block 11: end of data\n"
              "  used 6.1 kB, 0.0% of the partition\n"
              "partition 2: 60.0 MB\n"
              "  block 0: 1 setmark\n"
              "  block 1: file 0: 1 block of 12 bytes, 12 bytes\n"
              "  block 2: end of data\n"
              "  used 12 bytes, 0.0% of the partition\n"
              "used:             6.1 kB, 0.0% of the tape\n"
              "tape stands:      partition 1, block 7 (file 1, block 0)\n");
    const nlohmann::json map = nlohmann::json::parse(V("--json map").out)["result"];
    EXPECT_EQ(map["partitions"][0]["entries"][2]["longestBlock"], 3000);
    EXPECT_EQ(map["partitions"][1]["entries"][0]["kind"], "setmarks");
    EXPECT_EQ(map["position"]["fileNumber"], 1);
    EXPECT_EQ(map["partitions"][0]["entries"][3]["emptyFiles"], nlohmann::json::array({2}));
    // Inside a run, the mark follows it; status and map give the capacity alike.
    Steps("seek 3");
    EXPECT_THAT(V("map").out, HasSubstr("  block 0: file 0: 6 blocks of 512 bytes, 3.1 kB\n"
                                        "  block 3: >> the tape stands here (file unknown, block "
                                        "unknown), inside the run above\n"));
    EXPECT_THAT(V("status").out, HasSubstr("capacity:         100.0 MB\n"));
    const Ran device = V("map", "iscsi://127.0.0.1:1/iqn.x:y/1");
    EXPECT_EQ(device.exit, 1);
    EXPECT_THAT(device.err, HasSubstr("'map' reads a cartridge file of the simulated drive"));
}

// mt-st's EOT and SM: read off the tape where it stands, so they hold across invocations.
TEST_F(MtSemantics, StatusShowsSetmarksBesideTheTapeAndTheEndOfAFullTape)
{
    for (const CountRow& row : {
             CountRow{"new --force; wset", "File number=-1", "SM EOD ONLINE"},
             CountRow{"new --force; wset; write a; rewind; fss 1", "File number=-1", "SM ONLINE"},
             CountRow{"new --force; wset; write a; bss 1", "File number=0", "BOT SM ONLINE"},
             CountRow{"new --force; wset; write a", "File number=-1", "EOD ONLINE"},
             CountRow{"new --force --capacity 1; setblk 0; !write big", "File number=0",
                      "EOT ONLINE"},
             CountRow{"new --force --capacity 1; setblk 0; !write big; rewind", "File number=0",
                      "BOT ONLINE"},
         }) {
        Spit(dir_ / "big", std::string(1100000, 'x'));
        Steps(row.steps);
        ExpectStatus(row);
    }
}

// Every failure names the command and the drive's answer in words, where the tape stands and
// the next step; the driver's own names stay in --trace.
TEST_F(MtSemantics, FailuresSayTheCommandTheAnswerAndTheNextStep)
{
    struct Row {
        const char* steps;
        const char* command;
        const char* says;
    };
    Spit(dir_ / "big", std::string(1100000, 'x'));
    for (const Row& row : {
             Row{"new --force; unload", "read out",
                 "velmtape: t.tape: read: there is no cartridge in the drive; 'load' puts it in\n"},
             Row{"new --force; write a; weof", "read out",
                 "velmtape: t.tape: read: read failed after 0 bytes: the tape reached the end of "
                 "its data; the tape stands at partition 1, block 2 (file 1, block 0); 'rewind', "
                 "then 'fsf N', reaches tape file N; 'write' appends here\n"},
             Row{"new --force --capacity 1; setblk 0", "write big",
                 "velmtape: t.tape: write: the tape is full: 983040 bytes written; the tape "
                 "stands at partition 1, block 15 (file 0, block 15); go on with another "
                 "cartridge ('unload', or 'new' for a blank one)\n"},
             Row{"new --force; protect on", "weof",
                 "velmtape: t.tape: weof: the cartridge is write-protected; the tape stands at "
                 "partition 1, block 0 (file 0, block 0); 'protect off' slides its tab back (on a "
                 "real cartridge, slide it by hand)\n"},
         }) {
        Steps(row.steps);
        const Ran run = V(row.command);
        EXPECT_EQ(run.exit, 2) << row.command;
        EXPECT_EQ(run.err, row.says) << row.steps;
        EXPECT_THAT(run.err, Not(HasSubstr("TAPE_STATUS"))) << row.steps;
    }
    EXPECT_THAT(V("--trace weof").out, HasSubstr("TAPE_STATUS_MEDIA_WRITE_PROTECTED"));
}

TEST_F(MtSemantics, ProtectSlidesTheTabOfASimulatedCartridgeOnly)
{
    Steps("new; protect on; !weof");
    EXPECT_THAT(V("status").out, HasSubstr("WR_PROT"));
    EXPECT_THAT(V("map").out, HasSubstr("write protected"));
    Steps("unload; protect off; load; weof");  // out of the drive too
    EXPECT_THAT(V("status").out, Not(HasSubstr("WR_PROT")));
    Steps("new --force --write-protected; protect off; weof");
    const Ran device = V("protect on", "iscsi://127.0.0.1:1/iqn.x:y/1");
    EXPECT_EQ(device.exit, 1);
    EXPECT_THAT(device.err, HasSubstr("'protect' slides the tab of a simulated cartridge"));
}

TEST_F(MtSemantics, AsfRewindsThenSpacesOverFilemarks)
{
    Steps("new; write a; weof; write a; weof; write a; weof");
    EXPECT_EQ(V("asf 2").out, "position:         partition 1, block 4\n");
    EXPECT_EQ(V("asf 0").out, "position:         partition 1, block 0\n");
    Steps("fsf 3; asf 1");
    EXPECT_THAT(V("status").out, HasSubstr("File number=1, block number=0,"));
}

TEST_F(MtSemantics, AMistypedReadToStandardOutputKeepsItsWordsOffTheData)
{
    Steps("new");
    for (const char* line : {"--json read - extra", "--json read - -b x", "read - extra"}) {
        const Ran run = V(line);
        EXPECT_EQ(run.exit, 1) << line;
        EXPECT_EQ(run.out, "") << line;
        EXPECT_THAT(run.err, HasSubstr("velmtape: read: ")) << line;
    }
    EXPECT_THAT(V("--json read out extra").out, HasSubstr("\"usage\": true"));
}

TEST_F(MtSemantics, ReadmeWalkthroughGivesBackIdenticalFiles)
{
    Spit(dir_ / "more.txt", "twelve bytes");
    Steps(
        "new --capacity 500; setblk 0; write a; weof; write more.txt; weof; rewind; fsf 1;"
        "read copy.txt");
    EXPECT_EQ(Slurp(dir_ / "copy.txt"), "twelve bytes");
    Steps("rewind; read copy0.txt");
    EXPECT_EQ(Slurp(dir_ / "copy0.txt"), "hello world\n");
    EXPECT_THAT(V("status").out, HasSubstr("File number=1, block number=0"));
}

}  // namespace
