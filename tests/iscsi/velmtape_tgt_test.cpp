// velmtape against tgt as a user runs it: -f with libiscsi's URL, exit status, messages and
// JSON for identification, readiness, marks and positioning, and the cartridge-only commands.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tgt_fixture.h"

namespace {

struct ToolRun {
    int exit = -1;
    std::string out;  // stdout and stderr together, in order
};

ToolRun Velmtape(const std::string& arguments)
{
    ToolRun run;
    // NOLINTNEXTLINE(cert-env33-c): the test runs fixed commands of its own
    FILE* pipe = popen((std::string(VELMTAPE_BINARY) + " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::array<char, 4096> chunk{};
    size_t got = 0;
    while ((got = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        run.out.append(chunk.data(), got);
    }
    const int status = pclose(pipe);
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class VelmtapeTgt : public tgt::WithTgt<> {
protected:
    std::string F(int lun) const { return "-f " + daemon_.Url(lun) + " "; }
};

TEST_F(VelmtapeTgt, CommandsOnTheQt7310EndAsTgtAnswers)
{
    struct Row {
        const char* command;
        int exit;
        const char* says;
    };
    for (const Row& row : {
             Row{"rewind", 0, "position:         unknown (the drive does not report it)"},
             Row{"weof 2", 0, "wrote 2 filemarks"},
             Row{"rewind", 0, "unknown"},
             Row{"fsf 1", 0, "unknown"},
             Row{"eod", 0, "unknown"},
             Row{"erase", 2, "erase: the drive refused the command"},
             Row{"seek 1", 2, "seek: the drive refused the command"},
             Row{"status", 0,
                 "drive:            VELM QT-7310 rev 0100 (iSCSI (libiscsi) 127.0.0.1:"},
             Row{"status", 0, "capacity:         not reported by the drive"},
             Row{"status", 0, "position:         not reported by the drive"},
             Row{"params", 0, "block size:       not reported by the drive"},
             Row{"new", 1, "'new' makes a cartridge file for the simulated drive"},
             Row{"demo", 1, "'demo' makes a cartridge file"},
         }) {
        const ToolRun run = Velmtape(F(1) + row.command);
        EXPECT_EQ(run.exit, row.exit) << row.command << "\n" << run.out;
        EXPECT_NE(run.out.find(row.says), std::string::npos) << row.command << "\n" << run.out;
    }
}

// tgt refuses the capacity log page, so the drive never reports its block size: write and
// read take it from --block-size, and the data comes back byte for byte after rewind and fsf.
// tgt reports a block shorter than the READ asked for with ILI although SILI is set, and
// counts the whole transfer as moved: the residue gives the block's true length.
TEST_F(VelmtapeTgt, WriteAndReadWithBlockSizeRoundTripAfterRewindAndFsf)
{
    char pattern[] = "/tmp/velmtape-tgt-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const auto spit = [&](const std::string& name, const std::string& bytes) {
        FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    };
    const auto slurp = [&](const std::string& name) {
        std::string bytes;
        FILE* f = std::fopen((dir + "/" + name).c_str(), "rb");
        if (f != nullptr) {
            std::array<char, 4096> chunk{};
            size_t got = 0;
            while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) {
                bytes.append(chunk.data(), got);
            }
            std::fclose(f);
        }
        return bytes;
    };
    std::string second;
    for (int i = 0; i < 100000; ++i) {
        second.push_back(static_cast<char>(i * 7 % 251));
    }
    spit("first", "twelve bytes");
    spit("second", second);

    ToolRun run = Velmtape(F(1) + "write " + dir + "/first");
    EXPECT_EQ(run.exit, 2) << run.out;
    EXPECT_NE(run.out.find("write: the drive does not report its block size: "
                           "the drive refused the command"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("give it with --block-size N (0: variable-length blocks)"),
              std::string::npos)
        << run.out;
    for (const std::string& step : std::vector<std::string>{
             "rewind", "write -b 0 " + dir + "/first", "weof",
             "write --block-size 0 " + dir + "/second", "weof", "rewind", "fsf 1",
             "read -b 0 " + dir + "/back2", "rewind", "read -b 0 " + dir + "/back1"}) {
        run = Velmtape(F(1) + step);
        ASSERT_EQ(run.exit, 0) << step << "\n" << run.out;
    }
    EXPECT_TRUE(slurp("back1") == "twelve bytes") << slurp("back1").size() << " bytes";
    EXPECT_TRUE(slurp("back2") == second) << slurp("back2").size() << " bytes";
    run = Velmtape(F(1) + "status");
    EXPECT_NE(run.out.find("File number=-1, block number=-1."), std::string::npos) << run.out;
    // NOLINTNEXTLINE(cert-env33-c): the test runs fixed commands of its own
    std::system(("rm -rf " + dir).c_str());
}

TEST_F(VelmtapeTgt, AnotherTapeIsRefusedWithWhatWasFoundUnlessForced)
{
    ToolRun run = Velmtape(F(2) + "rewind");
    EXPECT_EQ(run.exit, 2) << run.out;
    EXPECT_NE(run.out.find("found 'IET' 'VIRTUAL-TAPE' rev '0001'"), std::string::npos) << run.out;
    run = Velmtape(F(2) + "--force-claim weof");
    EXPECT_EQ(run.exit, 0) << run.out;
}

TEST_F(VelmtapeTgt, JsonAndTraceNameTheTransport)
{
    const ToolRun run = Velmtape(F(1) + "--json --trace weof");
    ASSERT_EQ(run.exit, 0) << run.out;
    const nlohmann::json answer = nlohmann::json::parse(run.out);
    EXPECT_EQ(answer["target"]["kind"], "iSCSI (libiscsi)");
    EXPECT_EQ(answer["trace"][1]["request"], "DeviceStart");
    EXPECT_NE(answer["trace"].dump().find("29/00"), std::string::npos);
}

TEST_F(VelmtapeTgt, UnreachableTargetAndHiddenPasswordExitOne)
{
    const ToolRun run = Velmtape("-f iscsi://me%secret@127.0.0.1:1/iqn.x:y/1 status");
    EXPECT_EQ(run.exit, 1) << run.out;
    EXPECT_NE(run.out.find("iscsi://me%***@127.0.0.1:1/iqn.x:y/1: cannot reach"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("secret"), std::string::npos) << run.out;
}

}  // namespace
