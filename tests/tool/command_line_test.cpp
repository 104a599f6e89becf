// velmtape's command line as a user of mt meets it: mt's names, unknown and ambiguous words,
// numbers and their limits, conflicting options, empty names, JSON usage errors, the manual
// page and the shell completion, all through the built binary.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tool_run.h"

namespace {

namespace fs = std::filesystem;

using Result = tooltest::Ran;

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/velmtape-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(Velm({"-f", "t.tape", "new"}).exit, 0);
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result Velm(const std::vector<std::string>& words) { return tooltest::Run(words, dir_); }
    Result On(std::vector<std::string> words)
    {
        words.insert(words.begin(), {"-f", "t.tape"});
        return Velm(words);
    }
    std::string Tell() { return On({"tell"}).out; }

    fs::path dir_;
};

constexpr const char* kRunHelp = "Run 'velmtape --help' for the commands and options.\n";

struct UsageRow {
    std::vector<std::string> words;
    std::string message;  // the first line on stderr, exactly
};

TEST_F(CommandLine, UsageErrorsNameTheSubjectAndTheRule)
{
    const std::vector<UsageRow> rows = {
        {{"foo"}, "velmtape: unknown command 'foo'; run 'velmtape --help' for the commands\n"},
        {{"fsff"}, "velmtape: unknown command 'fsff'; did you mean 'fsf'?\n"},
        {{"rewnd"}, "velmtape: unknown command 'rewnd'; did you mean 'rewind'?\n"},
        {{"fs"}, "velmtape: ambiguous command 'fs': fsf, fsfm, fsr, fss\n"},
        {{"retension"},
         "velmtape: retension: the driver has no tension operation for the QT-7310 (a DAT "
         "cartridge needs no retensioning); nothing was done\n"},
        {{"fsf", "9000000"}, "velmtape: fsf: count 9000000 is out of range: at most 8388607\n"},
        {{"bsr", "8388609"}, "velmtape: bsr: count 8388609 is out of range: at most 8388608\n"},
        {{"weof", "16777216"},
         "velmtape: weof: count 16777216 is out of range: at most 16777215\n"},
        {{"wset", "0x1000000"},
         "velmtape: wset: count 0x1000000 is out of range: at most 16777215\n"},
        {{"fsf", "99999999999999999999999"},
         "velmtape: fsf: count 99999999999999999999999 is out of range: at most 8388607\n"},
        {{"fsf", "-1"}, "velmtape: fsf: count -1 is out of range: at least 0\n"},
        {{"fsf", "abc"},
         "velmtape: fsf: count 'abc' is not a number (decimal digits, or 0x and hexadecimal "
         "digits)\n"},
        {{"weof", "0x"},
         "velmtape: weof: count '0x' is not a number (decimal digits, or 0x and hexadecimal "
         "digits)\n"},
        {{"mkpartition", "0"}, "velmtape: mkpartition: size 0 is out of range: at least 1\n"},
        {{"mkpartition", "65536"},
         "velmtape: mkpartition: size 65536 is out of range: at most 65535\n"},
        {{"setpartition", "3"}, "velmtape: setpartition: partition 3 is out of range: at most 2\n"},
        {{"seek", "5", "--absolute", "-p", "2"},
         "velmtape: seek: --absolute cannot go with --partition: an absolute block address is "
         "the same in every partition\n"},
        {{"sethpos", "5", "-p", "1"},
         "velmtape: seek: --absolute cannot go with --partition: an absolute block address is "
         "the same in every partition\n"},
        {{"seek"}, "velmtape: seek: BLOCK is missing: Block address\n"},
        {{"compression", "maybe"},
         "velmtape: compression: 'maybe' is neither on nor off (nor 1 or 0)\n"},
        {{"fsf", "1", "2"},
         "velmtape: fsf: unexpected word '2': not an option or argument of this command\n"},
        {{"weof", "--bogus"},
         "velmtape: weof: unexpected word '--bogus': not an option or argument of this command\n"},
        {{"--wait", "x", "tell"}, "velmtape: --wait: 'x' is not a number of seconds\n"},
        {{"--wait", "5000", "tell"}, "velmtape: --wait: 5000 is out of range: 0 to 3600 seconds\n"},
        {{}, "velmtape: no command given; run 'velmtape --help' for the commands\n"},
    };
    for (const UsageRow& row : rows) {
        const Result run = On(row.words);
        EXPECT_EQ(run.exit, 1) << row.message;
        EXPECT_EQ(run.err, row.message + kRunHelp);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(Tell(), "partition 1, block 0\n");  // nothing of it moved the tape
}

TEST_F(CommandLine, EmptyCartridgeNamesAreRefused)
{
    const std::string empty = "velmtape: -f: the cartridge file or device name is empty\n";
    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{"-f", "", "weof"}, {"--file=", "weof"}}) {
        const Result run = Velm(words);
        EXPECT_EQ(run.exit, 1);
        EXPECT_EQ(run.err, empty + kRunHelp);
    }
    const Result run = Velm({"--file", "", "status"});
    EXPECT_EQ(run.err, empty + kRunHelp);
    EXPECT_FALSE(fs::exists(dir_ / "velmtape.tape"));
}

TEST_F(CommandLine, EmptyTapeVariableIsRefused)
{
    const std::string out = (dir_ / "out").string();
    const std::string command =
        "cd " + dir_.string() + " && TAPE= " VELMTAPE_BINARY " status 2>" + out;
    // NOLINTNEXTLINE(cert-env33-c): the test runs fixed commands of its own
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 1);
    EXPECT_EQ(tooltest::Slurp(out),
              std::string("velmtape: TAPE: set but empty; name a cartridge file or device, or "
                          "unset it\n") +
                  kRunHelp);
}

struct AliasRow {
    std::vector<std::string> words;
    std::string tell;  // where the tape stands afterwards
};

TEST_F(CommandLine, MtNamesDoWhatTheirCommandsDo)
{
    ASSERT_EQ(On({"weof", "010"}).exit, 0);  // decimal: ten filemarks, not eight
    EXPECT_EQ(Tell(), "partition 1, block 10\n");
    ASSERT_EQ(On({"eof", "0x10"}).exit, 0);
    EXPECT_EQ(Tell(), "partition 1, block 26\n");
    ASSERT_EQ(On({"smk"}).exit, 0);
    const std::vector<AliasRow> rows = {
        {{"setspos", "3"}, "partition 1, block 3\n"}, {{"eom"}, "partition 1, block 27\n"},
        {{"rewind"}, "partition 1, block 0\n"},       {{"seod"}, "partition 1, block 27\n"},
        {{"sethpos", "5"}, "partition 1, block 5\n"}, {{"bsf", "2"}, "partition 1, block 3\n"},
    };
    for (const AliasRow& row : rows) {
        const Result run = On(row.words);
        EXPECT_EQ(run.exit, 0) << row.words[0] << ": " << run.err;
        EXPECT_EQ(Tell(), row.tell) << row.words[0];
    }
    EXPECT_EQ(On({"rdspos"}).out, "partition 1, block 3\n");
    EXPECT_EQ(On({"rdhpos"}).out, "absolute block 3\n");
    EXPECT_EQ(On({"comp", "0"}).out, "compression:      off\nsetmark report:   off\n");
    EXPECT_EQ(On({"datcompression", "on"}).out, "compression:      on\nsetmark report:   off\n");
    EXPECT_EQ(On({"blocksize", "0"}).out, "block size:       variable\n");
    EXPECT_EQ(On({"rewoffl"}).out, "unloaded and ejected; 'load' puts the cartridge back\n");
}

TEST_F(CommandLine, HelpVersionAndJson)
{
    const Result eom = Velm({"eom", "--help"});
    EXPECT_EQ(eom.exit, 0);
    EXPECT_THAT(eom.out, ::testing::StartsWith("Space to the end of recorded data [eom, seod]\n"
                                               "Usage: velmtape eod [OPTIONS]\n"));
    const Result version = Velm({"--version"});
    EXPECT_EQ(version.exit, 0);
    EXPECT_EQ(version.out, std::string("velmtape ") + VELMTAPE_VERSION + "\n");
    const Result help = Velm({"--help"});
    EXPECT_THAT(help.out, ::testing::HasSubstr(
                              "Unload and eject the cartridge (refused while locked) [offline, "
                              "eject, rewoffl]\n"));
    EXPECT_THAT(help.out, ::testing::HasSubstr("('weof 010' writes 10 filemarks)"));

    const Result json = On({"--json", "fsf", "abc"});
    EXPECT_EQ(json.exit, 1);
    EXPECT_EQ(nlohmann::json::parse(json.out),
              (nlohmann::json{{"ok", false},
                              {"command", "fsf"},
                              {"error",
                               {{"message",
                                 "fsf: count 'abc' is not a number (decimal digits, "
                                 "or 0x and hexadecimal digits)"},
                                {"usage", true}}}}));
    const Result unknown = On({"--json", "frobnicate"});
    EXPECT_EQ(nlohmann::json::parse(unknown.out)["command"], nullptr);
}

// A command's arguments are made only when the words name it; help of every command, the
// manual page and the completion script must still show each command's own options.
TEST_F(CommandLine, EveryCommandsOptionsInTheOutputsOfAllCommands)
{
    const std::string help = Velm({"--help"}).out;
    const std::string all = Velm({"--help-all"}).out;
    const std::string man = Velm({"--man"}).out;
    const std::string completion = Velm({"--bash-completion"}).out;
    std::istringstream list(help.substr(help.find("Subcommands:\n") + 13));
    size_t commands = 0;
    for (std::string line; std::getline(list, line) && line.rfind("  ", 0) == 0;) {
        const std::string command = line.substr(2, line.find(' ', 2) - 2);
        std::istringstream own(Velm({command, "--help"}).out);
        ++commands;
        for (std::string word; own >> word;) {
            const std::string option = word.substr(word.find(',') + 1);
            if (option.rfind("--", 0) != 0 || option.rfind("--help", 0) == 0) {
                continue;
            }
            std::string troff;  // the manual page writes every '-' as "\-"
            for (const char c : option) {
                troff += c == '-' ? std::string("\\-") : std::string(1, c);
            }
            EXPECT_NE(all.find(option), std::string::npos) << command << " " << option;
            EXPECT_NE(completion.find(option), std::string::npos) << command << " " << option;
            EXPECT_NE(man.find(troff), std::string::npos) << command << " " << troff;
        }
    }
    EXPECT_GE(commands, 30u);
}

TEST_F(CommandLine, ManualAndCompletionComeFromTheTable)
{
    const Result man = Velm({"--man"});
    EXPECT_EQ(man.exit, 0);
    EXPECT_THAT(man.out, ::testing::StartsWith(".TH VELMTAPE 1 "));
    EXPECT_THAT(man.out, ::testing::HasSubstr(".B fsf\\fR [N]\nSpace forward over N filemarks\n"));
    EXPECT_THAT(man.out, ::testing::HasSubstr("Also: \\fBrdspos\\fR \\fBrdhpos\\fR (tell "
                                              "\\-\\-absolute)\n"));
    const Result completion = Velm({"--bash-completion"});
    EXPECT_THAT(completion.out, ::testing::HasSubstr("seek|setspos|sethpos) words=\"--partition "
                                                     "--absolute --immediate\"; files=0 ;;\n"));
    // The script completes a command word the way bash would run it.
    const std::string script = (dir_ / "completion").string();
    tooltest::Spit(script, completion.out);
    const std::string out = (dir_ / "words").string();
    const std::string command = "bash -c 'source " + script +
                                " && COMP_WORDS=(velmtape -f t se) COMP_CWORD=3 && _velmtape "
                                "&& echo ${COMPREPLY[*]}' >" +
                                out;
    // NOLINTNEXTLINE(cert-env33-c): the test runs fixed commands of its own
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(tooltest::Slurp(out),
              "seod seek setspos sethpos setblk setmarks-report "
              "setpartition\n");
}

}  // namespace
