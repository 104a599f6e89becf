// The cartridge folder attacked as an unlucky or hostile user would, through the built
// velmtape: flipped bits anywhere in the folder, another user's files and links, a kill in
// the middle of a write or of `new --force`, a folder that cannot be written, a database
// edited with SQLite's own shell. VELMTAPE_ATTACKS=N runs N rounds of each repeated attack
// (by hand; CI runs a few).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tool_run.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using tooltest::Slurp;
using tooltest::Spit;

constexpr const char* kOther = "velmtape-other";
// The tape files a test records: 40 and 7 blocks of 512 bytes, three of 64 KiB and a bit.
constexpr size_t kFixed40 = size_t{40} * 512;
constexpr size_t kVariable3 = size_t{3} * 65536 + 100;
constexpr size_t kFixed7 = size_t{7} * 512;

int Rounds(int ci)
{
    const char* asked = std::getenv("VELMTAPE_ATTACKS");
    const long runs = asked != nullptr ? std::strtol(asked, nullptr, 10) : 0;
    return runs > 0 ? static_cast<int>(runs) : ci;
}

using tooltest::Ran;

class CartridgeAttack : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/velmtape-attack-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        chmod(dir_.c_str(), 0755);
        tape_ = (dir_ / "t").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // velmtape with `words`, as this user or (`as` non-empty) as that user.
    Ran V(const std::string& words, const std::string& as = "")
    {
        const std::string prefix = as.empty() ? "" : "runuser -u " + as + " -- ";
        const std::string command = "cd '" + dir_.string() + "' && " + prefix + VELMTAPE_BINARY +
                                    " " + words + " >'" + (dir_ / ".out").string() + "' 2>'" +
                                    (dir_ / ".err").string() + "'";
        // NOLINTNEXTLINE(cert-env33-c): the test's own fixed commands
        const int status = std::system(command.c_str());
        Ran ran;
        ran.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        ran.out = Slurp(dir_ / ".out");
        ran.err = Slurp(dir_ / ".err");
        return ran;
    }
    void Ok(const std::string& words)
    {
        const Ran ran = V(words);
        ASSERT_EQ(ran.exit, 0) << words << ": " << ran.err;
    }
    static int Shell(const std::string& command)
    {
        // NOLINTNEXTLINE(cert-env33-c): the test's own fixed commands
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // A second user, made when the test runs as root; false (and the test skipped) otherwise.
    static bool OtherUser()
    {
        if (geteuid() != 0) {
            return false;
        }
        return Shell(std::string("id ") + kOther + " >/dev/null 2>&1 || useradd -M -N -s /bin/sh " +
                     kOther + " >/dev/null 2>&1") == 0;
    }
    static std::string Random(size_t bytes, uint32_t seed)
    {
        std::mt19937 random(seed);
        std::string s(bytes, '\0');
        for (char& c : s) {
            c = static_cast<char>(random());
        }
        return s;
    }

    fs::path dir_;
    std::string tape_;
};

// A cartridge with three tape files, and what reading each back gives.
class Flips : public CartridgeAttack {
protected:
    std::vector<std::string> Record()
    {
        Ok("-f t new");
        std::vector<std::string> files = {Random(kFixed40, 1), Random(kVariable3, 2),
                                          Random(kFixed7, 3)};
        for (size_t i = 0; i < files.size(); ++i) {
            Spit(dir_ / "in", files[i]);
            Ok(std::string("-f t setblk ") + (i == 1 ? "0" : "512"));
            Ok("-f t write in");
            Ok("-f t weof");
            if (i != 1) {
                files[i].resize((files[i].size() + 511) / 512 * 512, '\0');
            }
        }
        return files;
    }
};

// Whatever single bit flips, anywhere in the folder: every read either gives back exactly
// what was written or fails; never other bytes with exit status 0.
TEST_F(Flips, NoSingleBitFlipAnywhereGivesOtherDataAsSuccess)
{
    const std::vector<std::string> files = Record();
    const fs::path good = dir_ / "good";
    fs::copy(tape_, good, fs::copy_options::recursive);
    std::mt19937 random(std::random_device{}());
    const auto seed = static_cast<unsigned>(random());
    random.seed(seed);
    int refused = 0;
    const int rounds = Rounds(40);
    for (int round = 0; round < rounds; ++round) {
        fs::remove_all(tape_);
        fs::copy(good, tape_, fs::copy_options::recursive);
        std::vector<fs::path> members;
        for (const auto& entry : fs::directory_iterator(tape_)) {
            if (fs::file_size(entry.path()) > 0) {
                members.push_back(entry.path());
            }
        }
        const fs::path victim = members[random() % members.size()];
        std::string bytes = Slurp(victim);
        const size_t bit = random() % (bytes.size() * 8);
        bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
        Spit(victim, bytes);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) + ": " +
                     victim.filename().string() + " bit " + std::to_string(bit));
        bool failed = V("-f t rewind").exit != 0;
        for (size_t i = 0; i < files.size() && !failed; ++i) {
            V(std::string("-f t setblk ") + (i == 1 ? "0" : "512"));
            const Ran ran = V("-f t read back");
            ASSERT_LE(ran.exit, 2) << ran.err;
            if (ran.exit == 0) {
                ASSERT_TRUE(Slurp(dir_ / "back") == files[i]) << "other data, exit 0: file " << i;
            } else if (victim.filename() == "data") {
                EXPECT_THAT(ran.err, HasSubstr("is damaged: its bytes do not match"));
            }
            failed = ran.exit != 0;
        }
        refused += failed ? 1 : 0;
    }
    std::cout << refused << " of " << rounds << " flips refused, the rest harmless\n";
}

// A damaged block is reported with its place, and spacing over it reads what follows.
TEST_F(Flips, ADamagedBlockSaysWhereAndWhatFollowsStaysReadable)
{
    const std::vector<std::string> files = Record();
    std::string data = Slurp(fs::path(tape_) / "data");
    data[5 * 512 + 17] = static_cast<char>(data[5 * 512 + 17] ^ 0x40);  // block 5 of file 0
    Spit(fs::path(tape_) / "data", data);
    Ok("-f t rewind");
    Ok("-f t setblk 512");
    const Ran ran = V("-f t read back");
    EXPECT_EQ(ran.exit, 2);
    EXPECT_THAT(ran.err, HasSubstr("read failed after 2560 bytes: block 5 of tape file 0 "
                                   "(address 5) is damaged"));
    EXPECT_THAT(ran.out, HasSubstr("stopped at:       partition 1, block 5 (file 0, block 5)"));
    Ok("-f t fsr 1");
    Ok("-f t read back");
    EXPECT_TRUE(Slurp(dir_ / "back") == files[0].substr(size_t{6} * 512));
}

// Another user can neither plant files in a cartridge folder nor have velmtape use a folder
// others may write; a log planted beside an old one-file cartridge is refused, not adopted.
TEST_F(CartridgeAttack, AnotherUserCannotPlantOrRewrite)
{
    if (!OtherUser()) {
        GTEST_SKIP() << "needs root to make a second user";
    }
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);  // a shared sticky folder, as /tmp is
    Ok("-f t new");
    Ok("-f t weof 2");
    const std::string index = Slurp(fs::path(tape_) / "index");
    for (const char* planted : {"index-wal", "index-journal", "data", "st"}) {
        EXPECT_NE(Shell(std::string("runuser -u ") + kOther + " -- sh -c 'echo x > " + tape_ + "/" +
                        planted + "' 2>/dev/null"),
                  0)
            << planted;
    }
    EXPECT_EQ(Slurp(fs::path(tape_) / "index"), index);
    Ok("-f t rewind");
    EXPECT_THAT(V("-f t map").out, HasSubstr("2 filemarks"));
    // A folder others may write is refused with the fix.
    ASSERT_EQ(chmod(tape_.c_str(), 0777), 0);
    Ran ran = V("-f t status");
    EXPECT_EQ(ran.exit, 1);
    EXPECT_THAT(ran.err, HasSubstr("fix it with 'chmod go-w t'"));
    ASSERT_EQ(chmod(tape_.c_str(), 0700), 0);
    // Someone else's folder: refused to them with the reason.
    ran = V("-f " + tape_ + " status", kOther);
    EXPECT_EQ(ran.exit, 1);
    EXPECT_THAT(ran.err, HasSubstr("cannot open the cartridge folder: Permission denied"));
    ASSERT_EQ(chmod(tape_.c_str(), 0755), 0);
    ran = V("-f " + tape_ + " status", kOther);
    EXPECT_THAT(ran.err, HasSubstr("the cartridge folder belongs to root, not to you"));
}

TEST_F(CartridgeAttack, APlantedLogBesideAnOldCartridgeIsNotAdopted)
{
    if (!OtherUser()) {
        GTEST_SKIP() << "needs root to make a second user";
    }
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);
    // The old one-file store, as the store before the folder made it.
    ASSERT_EQ(Shell("cd '" + dir_.string() +
                    "' && sqlite3 old 'PRAGMA application_id = 1447382093; PRAGMA user_version "
                    "= 1; CREATE TABLE x(y)' >/dev/null"),
              0);
    const std::string before = Slurp(dir_ / "old");
    ASSERT_EQ(Shell(std::string("runuser -u ") + kOther + " -- sh -c 'echo forged > " +
                    (dir_ / "old-wal").string() + "'"),
              0);
    const Ran ran = V("-f old status");
    EXPECT_EQ(ran.exit, 1);
    EXPECT_THAT(ran.err, HasSubstr("old-wal is not the cartridge owner's own log"));
    EXPECT_EQ(Slurp(dir_ / "old"), before);
    EXPECT_FALSE(fs::exists(dir_ / "old.velmtape-new"));
}

// Root's `new --force` through another user's link is refused: the cartridge stays.
TEST_F(CartridgeAttack, NewForceThroughALinkBlanksNothing)
{
    if (!OtherUser()) {
        GTEST_SKIP() << "needs root to make a second user";
    }
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);
    Ok("-f t new");
    Ok("-f t weof 3");
    ASSERT_EQ(Shell(std::string("runuser -u ") + kOther + " -- ln -s " + tape_ + " " +
                    (dir_ / "link").string()),
              0);
    const Ran ran = V("-f link new --force");
    EXPECT_EQ(ran.exit, 1);
    EXPECT_THAT(ran.err, HasSubstr("is a symbolic link to a cartridge"));
    EXPECT_THAT(V("-f t map").out, HasSubstr("3 filemarks"));
}

// The link-and-crash case: a write killed on one name, filemarks written under another name,
// and everything committed is there under both.
TEST_F(CartridgeAttack, AKilledWriteUnderOneNameLosesNothingUnderAnother)
{
    Ok("-f t new");
    fs::create_symlink("t", dir_ / "b");
    Spit(dir_ / "in", Random(size_t{20} << 20, 4));
    const pid_t pid = tooltest::Start({"-f", "t", "write", "in"}, dir_.string(), {-1, "/dev/null"},
                                      {-1, "/dev/null"}, {-1, "/dev/null"});
    while (!fs::exists(fs::path(tape_) / "data") ||
           fs::file_size(fs::path(tape_) / "data") < (size_t{10} << 20)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGKILL);
    tooltest::Wait(pid);
    Ok("-f b weof 3");
    const Ran map = V("-f t map");
    EXPECT_THAT(map.out, HasSubstr("3 filemarks"));
    EXPECT_THAT(map.out, HasSubstr("blocks of 512 bytes"));
}

// `new --force` killed at any moment leaves the old cartridge or the new one, never less;
// in a folder it cannot write, it fails and the cartridge stays.
TEST_F(CartridgeAttack, NewForceKilledOrUnwritableKeepsACartridge)
{
    std::mt19937 random(std::random_device{}());
    const auto seed = static_cast<unsigned>(random());
    random.seed(seed);
    for (int round = 0; round < Rounds(10); ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        Ok("-f t new --force");
        Ok("-f t weof 2");
        const pid_t pid = tooltest::Start({"-f", "t", "new", "--force"}, dir_.string(),
                                          {-1, "/dev/null"}, {-1, "/dev/null"}, {-1, "/dev/null"});
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
        kill(pid, SIGKILL);
        tooltest::Wait(pid);
        const Ran map = V("-f t map");
        ASSERT_EQ(map.exit, 0) << map.err;
        EXPECT_TRUE(map.out.find("2 filemarks") != std::string::npos ||
                    map.out.find("  block 0: end of data") != std::string::npos)
            << map.out;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            EXPECT_EQ(entry.path().filename().string().find("velmtape-new"), std::string::npos)
                << "a leftover stays after the next run";
        }
    }
    if (!OtherUser()) {
        GTEST_SKIP() << "needs root to make a second user for an unwritable folder";
    }
    const fs::path theirs = dir_ / "theirs";
    fs::create_directory(theirs);
    ASSERT_EQ(Shell(std::string("chown ") + kOther + " " + theirs.string()), 0);
    const std::string tape = (theirs / "t").string();
    ASSERT_EQ(V("-f " + tape + " new", kOther).exit, 0);
    ASSERT_EQ(V("-f " + tape + " weof 2", kOther).exit, 0);
    ASSERT_EQ(chmod(theirs.c_str(), 0555), 0);
    const Ran ran = V("-f " + tape + " new --force", kOther);
    EXPECT_EQ(ran.exit, 1);
    EXPECT_THAT(ran.err, HasSubstr("Permission denied"));
    EXPECT_THAT(V("-f " + tape + " map", kOther).out, HasSubstr("2 filemarks"));
}

// SQLite's own shell changes the index without its page checksums: refused, unchanged.
TEST_F(CartridgeAttack, AnIndexEditedBehindVelmtapesBackIsRefused)
{
    Ok("-f t new");
    Ok("-f t weof 2");
    for (const char* sql :
         {"UPDATE extent SET count = 17592186044416, length = 1048576", "CREATE VIEW v AS SELECT 1",
          "CREATE TRIGGER x AFTER INSERT ON extent BEGIN SELECT 1; END"}) {
        const fs::path copy = dir_ / "edited";
        fs::remove_all(copy);
        fs::copy(tape_, copy, fs::copy_options::recursive);
        ASSERT_EQ(Shell("sqlite3 '" + (copy / "index").string() + "' '" + sql + "'"), 0) << sql;
        const std::string before = Slurp(copy / "index");
        for (const char* command : {"status", "weof", "read back"}) {
            const Ran ran = V(std::string("-f edited ") + command);
            EXPECT_EQ(ran.exit, 1) << sql << ": " << command;
            EXPECT_THAT(ran.err, HasSubstr("damaged cartridge index")) << sql;
        }
        EXPECT_EQ(Slurp(copy / "index"), before) << sql;
    }
}

}  // namespace
