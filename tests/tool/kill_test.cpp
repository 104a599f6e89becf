// velmtape killed with SIGKILL in the middle of a write: the cartridge still opens, and what
// it holds is a prefix of the file written, every block committed before the kill kept.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tool_run.h"

namespace {

namespace fs = std::filesystem;

// Starts velmtape with stdout to `out`, standard error discarded.
pid_t Start(const std::vector<std::string>& words, const fs::path& out)
{
    return tooltest::Start(words, "/", {-1, "/dev/null"}, {-1, out.string()}, {-1, "/dev/null"});
}

// Runs velmtape to the end with stdout to `out`; returns the exit status.
int Velmtape(const std::vector<std::string>& words, const fs::path& out)
{
    return tooltest::Wait(Start(words, out));
}

TEST(KilledWrite, KeepsEveryCommittedBlockAndStillOpens)
{
    char pattern[] = "/tmp/velmtape-kill-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    const std::string tape = (dir / "t").string();
    const fs::path input = dir / "input";
    std::string bytes(size_t{24} << 20, '\0');  // three commit chunks of 512-byte blocks
    std::mt19937_64 random(std::random_device{}());
    for (size_t i = 0; i < bytes.size(); i += sizeof(uint64_t)) {
        const uint64_t word = random();
        std::memcpy(&bytes[i], &word, sizeof(word));
    }
    std::ofstream(input, std::ios::binary) << bytes;
    const fs::path out = dir / "out";
    const auto seed = static_cast<unsigned>(random());
    std::mt19937 delays(seed);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
        ASSERT_EQ(Velmtape({"-f", tape, "new", "--force"}, out), 0);
        const pid_t pid = Start({"-f", tape, "write", input.string()}, out);
        ASSERT_GT(pid, 0);
        // Killed when the write has put a random amount into the cartridge's data file:
        // somewhere inside the write, whatever the machine's speed.
        const uint64_t threshold = (1 + delays() % 22) << 20;
        const fs::path log = fs::path(tape) / "data";
        int status = 0;
        bool exited = false;
        while (!exited) {
            std::error_code error;
            const auto size = fs::file_size(log, error);
            if (!error && size >= threshold) {
                break;
            }
            exited = waitpid(pid, &status, WNOHANG) == pid;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!exited) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }

        ASSERT_EQ(Velmtape({"-f", tape, "eod"}, out), 0) << "the cartridge must open after a kill";
        ASSERT_EQ(Velmtape({"-f", tape, "tell"}, out), 0);
        const std::string where = tooltest::Slurp(out);
        const auto blocks = std::stoull(where.substr(where.find("block ") + 6));
        if (threshold >= (uint64_t{12} << 20)) {
            // More than one commit chunk was written: those blocks must be there.
            ASSERT_GT(blocks, 0u) << "log reached " << threshold;
        }
        if (blocks == 0) {
            continue;
        }
        ASSERT_EQ(Velmtape({"-f", tape, "rewind"}, out), 0);
        ASSERT_EQ(Velmtape({"-f", tape, "read", (dir / "back").string()}, out), 0);
        const std::string back = tooltest::Slurp(dir / "back");
        ASSERT_EQ(back.size(), blocks * 512);
        ASSERT_TRUE(back == bytes.substr(0, back.size())) << "not a prefix of what was written";
    }
    fs::remove_all(dir);
}

}  // namespace
