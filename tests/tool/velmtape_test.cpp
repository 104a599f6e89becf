// velmtape run as a user runs it: the built binary on cartridge files in a temporary folder,
// with exit status, printed lines, messages and JSON checked, over several invocations.
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tool_run.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

using Outcome = tooltest::Ran;
using tooltest::Slurp;
using tooltest::Spit;

class Velmtape : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/velmtape-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        tape_ = (dir_ / "t.tape").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // No lock, state, temporary or database side file is left next to the cartridge.
    bool NothingBesideTheCartridge() const
    {
        const std::string name = fs::path(tape_).filename().string();
        for (const auto& entry : fs::directory_iterator(dir_)) {
            const std::string other = entry.path().filename().string();
            if (other != name && other.rfind(name, 0) == 0) {
                ADD_FAILURE() << "left beside the cartridge: " << other;
                return false;
            }
        }
        return true;
    }

    // Runs velmtape with the words given; TAPE is unset unless `tapeEnv` names a file.
    Outcome Velm(const std::vector<std::string>& words, const std::string& tapeEnv = "")
    {
        if (tapeEnv.empty()) {
            return tooltest::Run(words, dir_);
        }
        return tooltest::Run(words, dir_, {"TAPE=" + tapeEnv});
    }

    // A command that must succeed; its stdout.
    std::string Ok(std::vector<std::string> words)
    {
        words.insert(words.begin(), {"-f", tape_});
        const Outcome run = Velm(words);
        EXPECT_EQ(run.exit, 0) << words.back() << ": " << run.err;
        return run.out;
    }

    Outcome On(std::vector<std::string> words)
    {
        words.insert(words.begin(), {"-f", tape_});
        return Velm(words);
    }

    fs::path dir_;
    std::string tape_;
};

std::string Pattern(size_t length, unsigned seed)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((i * 31 + static_cast<size_t>(seed) * 7 + (i >> 8)) & 0xFF);
    }
    return bytes;
}

TEST_F(Velmtape, SessionWritesSpacesPartitionsAndReadsBack)
{
    const std::string file1 = Pattern(1536, 1);  // three whole blocks of 512
    const std::string file2 = Pattern(1000, 2);  // two blocks, the last filled up
    Spit(dir_ / "file1", file1);
    Spit(dir_ / "file2", file2);

    EXPECT_THAT(Ok({"new", "--capacity", "500"}), HasSubstr("blank 500.0 MB cartridge, writable"));
    EXPECT_THAT(Ok({"write", "file1"}), HasSubstr("position:         partition 1, block 3\n"));
    EXPECT_THAT(Ok({"weof"}),
                HasSubstr("wrote 1 filemark\nposition:         partition 1, block 4\n"));
    EXPECT_THAT(Ok({"write", "file2"}),
                HasSubstr("wrote 1000 bytes from file2 as 2 blocks of 512 bytes, the last filled "
                          "up with 24 zero bytes\n"));
    Ok({"weof"});
    EXPECT_EQ(Ok({"tell"}), "partition 1, block 7\n");
    Ok({"rewind"});
    EXPECT_THAT(Ok({"fsf", "1"}), HasSubstr("partition 1, block 4"));
    EXPECT_THAT(Ok({"read", "back2"}), HasSubstr("read 1024 bytes into back2, stopped at filemark\n"
                                                 "position:         partition 1, block 7\n"));
    EXPECT_EQ(Slurp(dir_ / "back2"), file2 + std::string(24, '\0'));
    Ok({"bsf", "2"});  // back over both filemarks: the tape stands before the first
    EXPECT_EQ(Ok({"tell"}), "partition 1, block 3\n");
    // Spacing over blocks stops at a filemark and says so; the tape is past the mark.
    const Outcome fsr = On({"fsr", "2"});
    EXPECT_EQ(fsr.exit, 2);
    EXPECT_THAT(fsr.err,
                HasSubstr("fsr: the tape reached a filemark; the tape stands at partition 1"));
    EXPECT_EQ(Ok({"tell"}), "partition 1, block 4\n");
    Ok({"rewind"});
    Ok({"read", "back1"});
    EXPECT_EQ(Slurp(dir_ / "back1"), file1);

    // Variable-length blocks give back a file byte for byte.
    Ok({"eod"});
    EXPECT_THAT(Ok({"setblk", "0"}), HasSubstr("block size:       variable\n"));
    const std::string file3 = Pattern(70000, 3);
    Spit(dir_ / "file3", file3);
    EXPECT_THAT(Ok({"write", "file3"}), HasSubstr("as 2 blocks (variable length)"));
    Ok({"weof"});
    Ok({"bsf", "1"});
    Ok({"bsr", "2"});
    Ok({"read", "back3"});
    EXPECT_EQ(Slurp(dir_ / "back3"), file3);

    EXPECT_THAT(Ok({"mkpartition", "100"}), HasSubstr("partitions:       2 (partition 1: 100 MB)\n"
                                                      "position:         partition 1, block 0\n"));
    Ok({"weof", "2"});
    EXPECT_THAT(Ok({"setpartition", "2"}), HasSubstr("position:         partition 2, block 0\n"));
    EXPECT_EQ(Ok({"tell"}), "partition 2, block 0\n");
    EXPECT_THAT(Ok({"status"}), HasSubstr("partitions:       2, current 2 (numbered from 1)\n"
                                          "position:         partition 2, block 0"));
    Ok({"weof", "3"});
    EXPECT_THAT(Ok({"seek", "1", "--partition", "1"}), HasSubstr("partition 1, block 1\n"));
    EXPECT_THAT(Ok({"seek", "2", "--partition", "2"}), HasSubstr("partition 2, block 2\n"));
    EXPECT_THAT(Ok({"mkpartition"}), HasSubstr("partitions:       1\n"));
}

TEST_F(Velmtape, MarkCommandsAndPrefixes)
{
    Ok({"new"});
    Ok({"weof", "2"});
    Ok({"wset"});
    Ok({"weof"});
    // Tape: FM FM SM FM, end of data at 4. Prefixes complete to the one command they begin.
    struct Row {
        std::vector<std::string> words;
        std::string tell;
    };
    const std::vector<Row> rows = {
        {{"rew"}, "partition 1, block 0\n"},
        {{"fsfm", "2"}, "partition 1, block 1\n"},  // before the second filemark
        {{"bsfm"}, "partition 1, block 1\n"},       // after the first, going back from 1
        {{"fss"}, "partition 1, block 3\n"},
        {{"bss"}, "partition 1, block 2\n"},
        {{"eo"}, "partition 1, block 4\n"},
        {{"seek", "2"}, "partition 1, block 2\n"},
        {{"fsr", "0"}, "partition 1, block 2\n"},
    };
    for (const Row& row : rows) {
        Ok(row.words);
        EXPECT_EQ(Ok({"te"}), row.tell) << row.words[0];
    }
}

TEST_F(Velmtape, UsageErrorsExitOne)
{
    Ok({"new"});
    struct Row {
        std::vector<std::string> words;
        std::string err;
    };
    const std::string runHelp = "Run 'velmtape --help' for the commands and options.\n";
    const std::vector<Row> rows = {
        {{"fs"}, "velmtape: ambiguous command 'fs': fsf, fsfm, fsr, fss\n" + runHelp},
        {{"frobnicate"},
         "velmtape: unknown command 'frobnicate'; run 'velmtape --help' for the commands\n" +
             runHelp},
        {{}, "velmtape: no command given; run 'velmtape --help' for the commands\n" + runHelp},
        {{"weof", "many"},
         "velmtape: weof: count 'many' is not a number (decimal digits, or 0x and hexadecimal "
         "digits)\n" +
             runHelp},
        {{"compression", "maybe"},
         "velmtape: compression: 'maybe' is neither on nor off (nor 1 or 0)\n" + runHelp},
        {{"setpartition", "3"},
         "velmtape: setpartition: partition 3 is out of range: at most 2\n" + runHelp},
        {{"new"},
         "velmtape: " + tape_ + ": cartridge exists; add --force to replace it with a blank one\n"},
    };
    for (const Row& row : rows) {
        const Outcome run = On(row.words);
        EXPECT_EQ(run.exit, 1) << ::testing::PrintToString(row.words);
        EXPECT_EQ(run.err, row.err);
        EXPECT_EQ(run.out, "");
    }
    const Outcome help = Velm({"--help"});
    EXPECT_EQ(help.exit, 0);
    EXPECT_THAT(help.out, HasSubstr("$TAPE, else ./velmtape.tape"));
    EXPECT_THAT(help.out, HasSubstr("numbered 1 and 2"));
    const Outcome seekHelp = Velm({"seek", "--help"});
    EXPECT_EQ(seekHelp.exit, 0);
    EXPECT_THAT(seekHelp.out, HasSubstr("--absolute"));
}

TEST_F(Velmtape, DriveFailuresExitTwoNamingTheStatus)
{
    Ok({"new"});
    Outcome run = On({"fsf"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_EQ(run.err, "velmtape: " + tape_ +
                           ": fsf: the tape reached the end of its data; the tape stands at "
                           "partition 1, block 0 (file 0, block 0); 'rewind', then 'fsf N', "
                           "reaches tape file N; 'write' appends here\n");

    // The driver changes partition only on a tape it knows to be partitioned; the tool says
    // so instead of leaving the tape where it was.
    run = On({"setpartition", "2"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_EQ(run.err,
              "velmtape: " + tape_ +
                  ": setpartition: partition 2 does not exist: the tape has 1 partition\n");

    const std::string protectedTape = (dir_ / "ro.tape").string();
    EXPECT_EQ(Velm({"-f", protectedTape, "new", "--write-protected"}).exit, 0);
    const std::string before = Slurp(fs::path(protectedTape) / "index");
    run = Velm({"-f", protectedTape, "weof"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("weof: the cartridge is write-protected; the tape stands at "
                                   "partition 1, block 0 (file 0, block 0); 'protect off'"));
    EXPECT_EQ(Slurp(fs::path(protectedTape) / "index"), before);
}

TEST_F(Velmtape, LockUnloadAndLoadAcrossInvocations)
{
    Ok({"new"});
    Ok({"weof"});
    EXPECT_THAT(Ok({"lock"}), HasSubstr("removal prevented"));
    Outcome run = On({"unload"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err,
                HasSubstr("unload: the drive refused the command; removal is prevented: run "
                          "'unlock' first\n"));
    EXPECT_THAT(Ok({"status"}), HasSubstr("removal:          prevented\n"));
    Ok({"unlock"});
    EXPECT_THAT(Ok({"offline"}), HasSubstr("unloaded and ejected"));
    EXPECT_THAT(Ok({"status"}),
                HasSubstr("medium:           none (there is no cartridge in the drive; 'load' "
                          "puts it in)"));
    run = On({"tell"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("tell: there is no cartridge in the drive; 'load' puts it in"));
    EXPECT_THAT(Ok({"load"}), HasSubstr("loaded"));
    EXPECT_EQ(Ok({"tell"}), "partition 1, block 0\n");
    EXPECT_EQ(Ok({"eod"}), "position:         partition 1, block 1\n");  // the filemark stayed
    EXPECT_TRUE(NothingBesideTheCartridge());
}

TEST_F(Velmtape, JsonForScripts)
{
    Ok({"new", "--capacity", "100"});
    Ok({"compression", "off"});
    Ok({"setmarks-report", "on"});
    Outcome run = On({"--json", "status"});
    ASSERT_EQ(run.exit, 0) << run.err;
    const nlohmann::json status = nlohmann::json::parse(run.out);
    EXPECT_EQ(status["ok"], true);
    EXPECT_EQ(status["command"], "status");
    const nlohmann::json& result = status["result"];
    EXPECT_EQ(result["ready"], true);
    EXPECT_EQ(result["media"]["capacityBytes"], 99999744u);  // whole KiB, as the log page counts
    EXPECT_EQ(result["media"]["blockSize"], 512);
    EXPECT_EQ(result["media"]["writeProtected"], false);
    EXPECT_EQ(result["partitions"], 1);
    EXPECT_EQ(result["position"]["partition"], 1);
    EXPECT_EQ(result["position"]["block"], 0);
    // Each setting changed alone; the other kept its value.
    EXPECT_EQ(result["drive"]["compression"], false);
    EXPECT_EQ(result["drive"]["reportSetmarks"], true);
    EXPECT_THAT(result["drive"]["features"].get<std::vector<std::string>>(),
                ::testing::IsSupersetOf({"LOAD_UNLOAD", "LOCK_UNLOCK", "SETMARKS", "ERASE_LONG"}));
    EXPECT_FALSE(status.contains("trace"));

    run = On({"--json", "--trace", "bsr"});
    EXPECT_EQ(run.exit, 2);
    const nlohmann::json failed = nlohmann::json::parse(run.out);
    EXPECT_EQ(failed["ok"], false);
    EXPECT_EQ(failed["error"]["status"], "TAPE_STATUS_BEGINNING_OF_MEDIA");
    EXPECT_EQ(failed["error"]["code"], 12);
    ASSERT_TRUE(failed["trace"].is_array());
    // The failed space, then the question where it left the tape.
    ASSERT_GE(failed["trace"].size(), 2u);
    EXPECT_EQ(failed["trace"].back()["request"], "GetPosition");
    const nlohmann::json& space = failed["trace"][failed["trace"].size() - 2];
    EXPECT_EQ(space["request"], "SetPosition");
    EXPECT_EQ(failed["result"]["stoppedAt"]["block"], 0);
    bool sawSpace = false;
    for (const nlohmann::json& event : space["events"]) {
        if (event["kind"] == "command" && event["cdb"] == "11 00 FF FF FF 00") {
            sawSpace = true;
        }
    }
    EXPECT_TRUE(sawSpace);
}

TEST_F(Velmtape, TraceShowsCallsCommandsAndSense)
{
    Ok({"new"});
    const Outcome run = On({"--trace", "fsf", "2"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.out, HasSubstr("request SetPosition\n"
                                   "call 0: last TAPE_STATUS_SUCCESS -> "
                                   "TAPE_STATUS_SEND_SRB_AND_CALLBACK"));
    EXPECT_THAT(run.out, HasSubstr("command: 11 01 00 00 02 00  SPACE"));
    EXPECT_THAT(run.out, HasSubstr("=> TAPE_STATUS_NO_DATA_DETECTED"));
    EXPECT_THAT(run.out, HasSubstr("sense F0 00 08 00 00 00 02"));
    const std::string trace = Ok({"--trace", "tell"});
    EXPECT_THAT(trace, HasSubstr("command: 34 00 00 00 00 00 00 00 00 00  READ POSITION"));
    EXPECT_THAT(trace, HasSubstr("partition 1, block 0\n"));
}

TEST_F(Velmtape, MissingOrDamagedCartridgeIsRefusedAndLeftAlone)
{
    Outcome run = On({"status"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "velmtape: " + tape_ +
                           ": no such cartridge (create one with "
                           "'velmtape -f " +
                           tape_ + " new')\n");
    EXPECT_FALSE(fs::exists(tape_));
    EXPECT_FALSE(fs::exists(tape_ + ".lock"));

    Ok({"new"});
    Ok({"weof", "3"});
    const fs::path index = fs::path(tape_) / "index";
    const std::string good = Slurp(index);
    constexpr size_t kPage = 1024;  // the index's page size
    ASSERT_GT(good.size(), 4 * kPage);
    std::string scribbled = good;  // the pages of the tape, partition and drive records
    for (size_t i = kPage; i < 4 * kPage; i += 7) {
        scribbled[i] = static_cast<char>(scribbled[i] ^ 0x5A);
    }
    const std::vector<std::string> damaged = {good.substr(0, 2 * kPage), scribbled,
                                              "just some text, not a cartridge\n", ""};
    for (const std::string& bytes : damaged) {
        Spit(index, bytes);
        for (const char* command : {"status", "weof", "rewind"}) {
            run = On({command});
            EXPECT_EQ(run.exit, 1) << command;
            EXPECT_THAT(run.err, HasSubstr("velmtape: " + tape_ + ": cannot use cartridge: "));
            EXPECT_THAT(run.err, HasSubstr("(left unchanged)"));
            EXPECT_EQ(Slurp(index), bytes);
            EXPECT_TRUE(NothingBesideTheCartridge());
        }
    }
    fs::remove_all(tape_);
    for (const std::string& bytes :
         {std::string("just some text, not a cartridge\n"), std::string(),
          std::string("VELMCART\0\0\0\1 and then nothing that fits", 39)}) {
        Spit(tape_, bytes);
        for (const char* command : {"status", "weof", "rewind"}) {
            run = On({command});
            EXPECT_EQ(run.exit, 1) << command;
            EXPECT_THAT(run.err, HasSubstr("velmtape: " + tape_ + ": cannot use cartridge: "));
            EXPECT_EQ(Slurp(tape_), bytes);
            EXPECT_TRUE(NothingBesideTheCartridge());
        }
    }
}

TEST_F(Velmtape, BusyCartridgeIsWaitedForThenRefused)
{
    Ok({"new"});
    const fs::path index = fs::path(tape_) / "index";
    const std::string before = Slurp(index);
    // The lock a running velmtape holds: on the cartridge folder itself.
    const int fd = open(tape_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    for (const char* command : {"weof", "status"}) {
        const Outcome run = On({"--wait", "0.2", command});
        EXPECT_EQ(run.exit, 1);
        EXPECT_THAT(run.err, HasSubstr("velmtape: " + tape_ +
                                       ": cartridge is in use by another velmtape; waiting"));
        EXPECT_THAT(run.err, HasSubstr("velmtape: " + tape_ + ": cartridge is busy"));
    }
    EXPECT_EQ(On({"--wait", "0", "new", "--force"}).exit, 1);
    EXPECT_EQ(Slurp(index), before);
    close(fd);
    Ok({"weof"});
    EXPECT_NE(Slurp(index), before);
}

TEST_F(Velmtape, CommandsUpdateTheCartridgeInPlace)
{
    Ok({"new"});
    struct stat before {};
    ASSERT_EQ(stat(tape_.c_str(), &before), 0);
    EXPECT_EQ(before.st_mode & 07777, 0700u);
    const fs::path index = fs::path(tape_) / "index";
    const std::string blank = Slurp(index);
    for (const char* command : {"status", "tell", "params"}) {
        Ok({command});
    }
    EXPECT_EQ(Slurp(index), blank);
    Ok({"weof"});
    struct stat after {};
    ASSERT_EQ(stat(tape_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // never replaced: links stay links
    EXPECT_NE(Slurp(index), blank);
    EXPECT_TRUE(NothingBesideTheCartridge());
}

TEST_F(Velmtape, TapeVariableAndDefaultFile)
{
    const std::string viaEnv = (dir_ / "env.tape").string();
    EXPECT_EQ(Velm({"new"}, viaEnv).exit, 0);
    EXPECT_TRUE(fs::exists(viaEnv));
    EXPECT_EQ(Velm({"weof"}, viaEnv).exit, 0);
    EXPECT_EQ(Velm({"tell"}, viaEnv).out, "partition 1, block 1\n");
    EXPECT_EQ(Velm({"new"}).exit, 0);
    EXPECT_TRUE(fs::exists(dir_ / "velmtape.tape"));
}

TEST_F(Velmtape, DemoRunsAndRefusesToOverwrite)
{
    Outcome run = On({"demo"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("read 1024 bytes up to the filemark: same as written"));
    EXPECT_THAT(run.out,
                HasSubstr("== setpartition 2\n   position:         partition 2, block 0\n"));
    EXPECT_THAT(run.out, HasSubstr("partitions:       2, current 1"));
    run = On({"demo"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(On({"demo", "--force"}).exit, 0);
}

}  // namespace
