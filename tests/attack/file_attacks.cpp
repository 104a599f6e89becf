// Attacks through the file system: a full disk, names that could forge messages, long paths,
// links, files planted by another user, the cartridge's own files as data, and a file that
// only pretends to be an old cartridge.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "attack.h"
#include "sim/drive.h"

namespace attack {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

// A cartridge on a small file system that a write fills: the write says what reached the
// tape, that reads back, commands that only read still run on the full disk, and a read into
// the full disk fails with its reason and leaves nothing.
std::string FullDisk(Case& c)
{
    std::string why;
    const uint64_t size = 6 * kMiB + c.Below(10 * kMiB);
    if (!MountSmall(c.dir(), "tmpfs", size, why)) {
        return why;
    }
    const Unmounting mounted(c.dir());
    c.Blank();
    const fs::path a = c.Data("a", 24 * kMiB, true);
    const std::string data = Slurp(a);
    const uint64_t kept = ExpectTrueWriteFailure(c.Run({"write", a.string()}));
    // What the message said was kept is there; the rest was cut, so there is room to move.
    c.Ok({"rewind"});
    const Ended back = c.Run({"read", c.Outside("back").string()});
    EXPECT_EQ(back.exit, kept == 0 ? 2 : 0) << back.err;
    EXPECT_EQ(Slurp(c.Outside("back")), data.substr(0, kept)) << "not what the message said";
    c.Ok({"rewind"});
    // Whatever room is left goes too: commands that only read must not need any.
    Spit(c.dir() / "filler", std::string(size, 'x'));
    for (const char* reading : {"status", "tell", "map"}) {
        const Ended ended = c.Run({reading});
        EXPECT_EQ(ended.exit, 0) << reading << " on a full disk: " << ended.err;
    }
    // A read into the full disk fails with its reason, the cartridge as it was.
    const Ended full = c.Run({"read", "out"});
    EXPECT_NE(full.exit, 0);
    EXPECT_TRUE(full.err.find("No space left on device") != std::string::npos ||
                full.err.find("disk is full") != std::string::npos)
        << full.err;
    ExpectOnlyOwnLines(full);
    EXPECT_FALSE(fs::exists(c.dir() / "out"));
    EXPECT_TRUE(c.Leftovers({"filler"}).empty());
    return "";
}

// Names holding control characters or bytes that are not UTF-8 are printed escaped: one
// `velmtape:` line per message, never a second, forged one; JSON answers stay JSON.
std::string ForgedLines(Case& c)
{
    const std::vector<std::string> tricks = {"t\nvelmtape: t: all data verified",
                                             "t\rvelmtape: done", "t\x1b[2K\x1b[1Gok",
                                             "t\xff\xfe\x9b", "t\tx\v\f\b"};
    const std::string& trick = tricks[c.Below(tricks.size())];
    const std::string tape = (c.dir() / trick).string();
    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{"-f", tape, "status"},
                                               {"-f", tape, "new"},
                                               {"-f", tape, "write", trick},
                                               {"-f", tape, "read", "/nonexistent/" + trick},
                                               {"-f", tape, "new"}}) {
        const Ended ended = c.Run(words);
        ExpectOnlyOwnLines(ended);
        EXPECT_LE(ended.ErrLines().size(), 1u) << ended.err;
        for (const char ch : ended.err.substr(0, ended.err.empty() ? 0 : ended.err.size() - 1)) {
            EXPECT_FALSE(static_cast<unsigned char>(ch) < 0x20) << "raw control character";
        }
        std::vector<std::string> json = {"--json"};
        json.insert(json.end(), words.begin(), words.end());
        const Ended answer = c.Run(json);
        EXPECT_FALSE(nlohmann::json::parse(answer.out, nullptr, false).is_discarded())
            << "not JSON: " << answer.out << answer.err;
    }
    return "";
}

// A path longer than SQLite's own limit works; one longer than the system's gives the
// system's reason.
std::string LongPaths(Case& c)
{
    // Long in its folders, not in its last name, which the cartridge's own names beside it
    // (PATH.velmtape-new while it is made) must still fit.
    fs::path folder = c.dir();
    const size_t length = 520 + c.Below(3000);
    while (folder.string().size() + 200 < length) {
        folder /= std::string(1 + c.Below(200), 'd');
    }
    fs::create_directories(folder);
    const std::string tape =
        (folder / std::string(length - folder.string().size() - 1, 't')).string();
    const std::string data = Slurp(c.Data("a", 100000));
    c.Ok({"-f", tape, "new"});
    c.Ok({"-f", tape, "setblk", "0"});
    c.Ok({"-f", tape, "write", "a"});
    c.Ok({"-f", tape, "rewind"});
    c.Ok({"-f", tape, "read", c.Outside("back").string()});
    EXPECT_EQ(Slurp(c.Outside("back")), data);
    const std::string tooLong =
        folder.string() + "/" + std::string(255, 'x') + "/" + std::string(4096, 'y');
    for (const char* command : {"new", "status"}) {
        const Ended ended = c.Run({"-f", tooLong, command});
        EXPECT_EQ(ended.exit, 1);
        EXPECT_NE(ended.err.find("File name too long"), std::string::npos) << ended.err;
    }
    return "";
}

// Links: a symbolic link to the cartridge is followed; `read` refuses to write through a link
// or to split a hard link, and leaves both files as they were.
std::string Links(Case& c)
{
    c.Blank();
    const std::string data = Slurp(c.Data("a", 200000));
    c.Ok({"write", "a"});
    fs::create_symlink(c.tape(), c.dir() / "link");
    c.Ok({"-f", (c.dir() / "link").string(), "rewind"});
    Spit(c.Outside("victim"), "victim");
    fs::create_symlink(c.Outside("victim"), c.dir() / "out-link");
    Spit(c.dir() / "hard", "hard");
    fs::create_hard_link(c.dir() / "hard", c.dir() / "hard2");
    for (const char* target : {"out-link", "hard"}) {
        c.Ok({"rewind"});
        const Ended ended = c.Run({"read", target});
        EXPECT_EQ(ended.exit, 1) << target;
        ExpectOnlyOwnLines(ended);
    }
    EXPECT_EQ(Slurp(c.Outside("victim")), "victim");
    EXPECT_EQ(Slurp(c.dir() / "hard2"), "hard");
    EXPECT_EQ(c.ReadBack(1).at(0), data);
    EXPECT_TRUE(c.Leftovers({"a", "link", "out-link", "hard", "hard2"}).empty());
    return "";
}

// Another user plants a link at the name root's `read` writes to, in a shared sticky folder:
// refused, and the file it leads to is left alone.
std::string SecondUserLinks(Case& c)
{
    std::string why;
    const std::optional<uid_t> user = SecondUser(why);
    if (!user) {
        return why;
    }
    c.Blank();
    const std::string data = Slurp(c.Data("a", 100000));
    c.Ok({"write", "a"});
    Spit(c.Outside("secret"), "root's own file");
    const fs::path planted = c.dir() / "out";
    fs::create_symlink(c.Outside("secret"), planted);
    if (lchown(planted.c_str(), *user, static_cast<gid_t>(-1)) != 0) {
        return "cannot give the planted link to the second user";
    }
    c.Ok({"rewind"});
    const Ended ended = c.Run({"read", "out"});
    EXPECT_EQ(ended.exit, 1) << ended.err;
    EXPECT_EQ(Slurp(c.Outside("secret")), "root's own file");
    EXPECT_EQ(c.ReadBack(1).at(0), data);
    return "";
}

// The cartridge's own files, named as the data of `read` or `write` (after a killed writer
// left its log): refused, and the cartridge is left as it was.
std::string OwnFilesAsData(Case& c)
{
    c.Blank();
    const std::string data = Slurp(c.Data("a", 300000));
    c.Ok({"write", "a"});
    c.Ok({"weof"});
    const fs::path big = c.Data("big", 12 * kMiB, true);
    Running writer = c.Start(Launch({"write", big.string()}));
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + c.Below(150)));
    writer.Signal(SIGKILL);
    writer.Wait();
    for (const fs::path& own : c.OwnNames()) {
        for (const char* command : {"read", "write"}) {
            c.Ok({"rewind"});
            const Ended ended = c.Run({command, own.string()});
            EXPECT_EQ(ended.exit, 1) << command << " " << own << ": " << ended.err;
            c.ExpectOpens();
        }
    }
    EXPECT_EQ(c.ReadBack(1).at(0), data);
    return "";
}

// Another user's doing in a shared sticky folder: a link at the name root's cartridge goes
// by, leading to root's cartridge elsewhere, is not followed by `new --force`; and a
// cartridge that group or others may write is refused with the command that fixes it.
std::string SecondUserCartridge(Case& c)
{
    std::string why;
    const std::optional<uid_t> user = SecondUser(why);
    if (!user) {
        return why;
    }
    const std::string victim = c.Outside("victim").string();
    const std::string data = Slurp(c.Data("a", 150000));
    c.Ok({"-f", victim, "new"});
    c.Ok({"-f", victim, "setblk", "0"});
    c.Ok({"-f", victim, "write", "a"});
    fs::create_symlink(victim, c.tape());
    if (lchown(c.tape().c_str(), *user, static_cast<gid_t>(-1)) != 0) {
        return "cannot give the planted link to the second user";
    }
    const Ended blanked = c.Run({"new", "--force"});
    EXPECT_NE(blanked.exit, 0) << "a planted link made new --force blank another cartridge";
    c.Ok({"-f", victim, "rewind"});
    c.Ok({"-f", victim, "read", c.Outside("back").string()});
    EXPECT_EQ(Slurp(c.Outside("back")), data);

    fs::permissions(victim, fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::add);
    const Ended shared = c.Run({"-f", victim, "weof"});
    EXPECT_EQ(shared.exit, 1) << "a cartridge others may write was used";
    EXPECT_NE(shared.err.find("chmod go-w"), std::string::npos) << shared.err;
    fs::permissions(victim, fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    c.Ok({"-f", victim, "rewind"});
    c.Ok({"-f", victim, "read", c.Outside("back").string()});
    EXPECT_EQ(Slurp(c.Outside("back")), data);
    return "";
}

// `new --force` blanks an old VELMCART cartridge, but not a file that only begins like one:
// a text, or an old cartridge whose checksum no longer matches.
std::string PretendedOldCartridge(Case& c)
{
    const std::string text = "VELMCART is how this note begins; it is not a cartridge\n";
    sim::Cartridge old = sim::Cartridge::Blank(1000000);
    old.partitions[0].objects = {sim::TapeObject::Filemark()};
    const std::vector<uint8_t> encoded = sim::EncodeCartridge(old);
    std::string damaged(encoded.begin(), encoded.end());
    damaged[damaged.size() - 1 - c.Below(4)] ^= 0x10;
    for (const std::string& bytes : {text, damaged}) {
        Spit(c.tape(), bytes);
        const Ended ended = c.Run({"new", "--force"});
        EXPECT_EQ(ended.exit, 1) << ended.err;
        EXPECT_EQ(Slurp(c.tape()), bytes) << "a file that is not a cartridge was replaced";
        EXPECT_TRUE(c.Leftovers({}).empty());
    }
    fs::remove(c.tape());
    std::string error;
    EXPECT_TRUE(sim::SaveCartridge(old, c.tape(), error)) << error;
    c.Ok({"new", "--force"});
    c.ExpectOpens();
    return "";
}

}  // namespace

std::vector<AttackClass> FileAttacks()
{
    return {
        {"full-disk", FullDisk, 2},
        {"forged-lines", ForgedLines, 3},
        {"long-paths", LongPaths, 2},
        {"links", Links, 1},
        {"second-user-links", SecondUserLinks, 1},
        {"second-user-cartridge", SecondUserCartridge, 1},
        {"own-files-as-data", OwnFilesAsData, 2},
        {"pretended-old-cartridge", PretendedOldCartridge, 2},
    };
}

}  // namespace attack
