// Attacks on the process: closed standard descriptors, a file-size limit, every signal during
// `read` and `write`, kill -9 at a random moment of every command that changes the cartridge,
// and several velmtapes at once.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "attack.h"
#include "sim/drive.h"

namespace attack {
namespace {

using std::chrono::microseconds;

constexpr size_t kMiB = size_t{1} << 20;

// Every signal that ends a process by default, and SIGPIPE and SIGXFSZ, which velmtape turns
// into failed writes: none may leave a temporary or lose a committed block.
const std::vector<int>& EndingSignals()
{
    static const std::vector<int> signals = {
        SIGKILL, SIGTERM, SIGINT,    SIGHUP,  SIGQUIT, SIGUSR1,  SIGUSR2,      SIGALRM,
        SIGABRT, SIGXCPU, SIGVTALRM, SIGPROF, SIGSEGV, SIGTRAP,  SIGRTMIN + 4, SIGPIPE,
        SIGXFSZ, SIGBUS,  SIGSYS,    SIGPOLL, SIGPWR,  SIGSTKFLT};
    return signals;
}

// A delay somewhere inside a command that takes about `typical`.
microseconds Somewhere(Case& c, microseconds typical)
{
    return microseconds(c.Below(static_cast<uint64_t>(typical.count()) + 1));
}

microseconds Timed(const std::function<void()>& run)
{
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - start);
}

// Closed standard descriptors: the trace, the busy notice and the messages must not land in
// the cartridge, which then would no longer open.
std::string ClosedDescriptors(Case& c)
{
    c.Blank();
    const fs::path a = c.Data("a", kMiB / 2 + c.Below(kMiB));
    c.Ok({"write", "a"});
    c.Ok({"weof"});
    const std::string data = Slurp(a);
    const std::vector<std::vector<int>> closings = {{0}, {1}, {2}, {1, 2}, {0, 1, 2}};
    for (const std::vector<int>& closed : closings) {
        c.Run(Launch({"--trace", "status"}).Closed(closed));
        c.Run(Launch({"--trace", "--json", "tell"}).Closed(closed));
        // Another velmtape holding the cartridge: the waiting one says so on standard error.
        int feed[2];
        EXPECT_EQ(pipe2(feed, O_CLOEXEC), 0);  // the holder's input ends when the test says
        Running holder = c.Start(Launch({"write", "-"}).Input(feed[0]));
        close(feed[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.Run(Launch({"--wait", "0.2", "--trace", "status"}).Closed(closed));
        close(feed[1]);
        holder.Wait();
        c.Run(Launch({"rewind"}).Closed(closed));
        c.ExpectOpens();
        const std::vector<std::string> back = c.ReadBack(1);
        EXPECT_TRUE(back.size() == 1 && back[0] == data) << "the tape file changed";
    }
    EXPECT_TRUE(c.Leftovers({"a"}).empty());
    return "";
}

// `ulimit -f`: the limit is an ordinary write error, what the message says was kept is on
// tape, and the tape stands after it; `read` fails with the reason and leaves nothing.
std::string FileSizeLimit(Case& c)
{
    c.Blank();
    const size_t size = 12 * kMiB;
    const fs::path a = c.Data("a", size, true);
    const std::string data = Slurp(a);
    // A limit the file cannot fit under: the write must stop somewhere inside it.
    const uint64_t kept = ExpectTrueWriteFailure(
        c.Run(Launch({"write", a.string()}).FileLimit(kMiB + c.Below(size - 2 * kMiB))));
    // The tape stands after what was kept: the rest written again follows it seamlessly.
    c.Ok({"write", a.string(), "--block-size", "0"});
    const std::vector<std::string> back = c.ReadBack(1);
    EXPECT_TRUE(back.size() == 1 && back[0] == data.substr(0, kept) + data)
        << "not what the message said was kept (" << kept << " bytes)";

    c.Ok({"rewind"});
    Spit(c.dir() / "out", "an older file of the user's");
    const Ended read = c.Run(Launch({"read", "out"}).FileLimit(kMiB + c.Below(size - kMiB)));
    EXPECT_EQ(read.exit, 1) << read.err;
    EXPECT_NE(read.err.find("File too large"), std::string::npos) << read.err;
    ExpectOnlyOwnLines(read);
    EXPECT_EQ(Slurp(c.dir() / "out"), "an older file of the user's");
    EXPECT_TRUE(c.Leftovers({"out"}).empty());
    c.ExpectOpens();
    return "";
}

// What is in `folder` besides `expected`.
std::vector<std::string> Strays(const fs::path& folder, const std::set<std::string>& expected)
{
    std::vector<std::string> strays;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (expected.count(entry.path().filename().string()) == 0) {
            strays.push_back(entry.path().filename().string());
        }
    }
    return strays;
}

// Every signal in `signals` at a random moment of a `read` into a new or an existing file in
// `folder`: the output is the old file or the whole new one, and nothing else is left there.
void ReadUnderSignals(Case& c, const std::vector<int>& signals, const fs::path& folder)
{
    c.Blank();
    const fs::path a = c.Data("a", 16 * kMiB, true);
    const std::string data = Slurp(a);
    c.Ok({"write", a.string()});
    c.Ok({"weof"});
    const fs::path out = folder / "out";
    const microseconds typical = Timed([&] {
        c.Ok({"rewind"});
        c.Ok({"read", out.string()});
    });
    for (const int signal : signals) {
        SCOPED_TRACE("signal " + std::to_string(signal));
        const bool existing = c.Below(2) == 0;
        fs::remove(out);
        if (existing) {
            Spit(out, "old");
        }
        c.Ok({"rewind"});
        Running read = c.Start(Launch({"read", out.string()}).Signalled());
        std::this_thread::sleep_for(Somewhere(c, typical));
        read.Signal(signal);
        const Ended ended = read.Wait();
        const std::string got = Slurp(out);
        EXPECT_TRUE(got == data || (existing ? got == "old" : !fs::exists(out)))
            << "output of " << got.size() << " bytes after exit " << ended.exit;
        EXPECT_TRUE(ended.exit != 0 || got == data) << "success claimed: " << ended.err;
        const std::vector<std::string> left =
            folder == c.dir() ? c.Leftovers({"out"}) : Strays(folder, {"out"});
        EXPECT_TRUE(left.empty()) << "left behind: " << left.front();
        c.ExpectOpens();
    }
}

std::string SignalsDuringRead(Case& c)
{
    ReadUnderSignals(c, EndingSignals(), c.dir());
    return "";
}

// The same on a file system without unnamed files, where `read` writes a named file beside
// its output: every signal that can be caught (all but SIGKILL) removes it.
std::string SignalsDuringReadNamed(Case& c)
{
    std::string why;
    const fs::path fuse = c.dir() / "fuse";
    if (!MountSmall(fuse, "bindfs", 0, why)) {
        return why;
    }
    const Unmounting mounted(fuse);
    std::vector<int> caught;
    for (const int signal : EndingSignals()) {
        if (signal != SIGKILL) {
            caught.push_back(signal);
        }
    }
    ReadUnderSignals(c, caught, fuse);
    return "";
}

// Every signal at a random moment of a `write`: the cartridge opens and holds a beginning of
// the file, and the tape file before it is whole.
std::string SignalsDuringWrite(Case& c)
{
    c.Blank();
    // cppcheck-suppress redundantAssignment ; two files, each made once
    const fs::path first = c.Data("first", size_t{64} * 1024, true);
    c.Ok({"write", first.string()});
    c.Ok({"weof"});
    const fs::path a = c.Data("a", 12 * kMiB, true);
    const std::string data = Slurp(a);
    const microseconds typical = Timed([&] { c.Ok({"write", a.string()}); });
    for (const int signal : EndingSignals()) {
        SCOPED_TRACE("signal " + std::to_string(signal));
        c.Ok({"rewind"});
        c.Ok({"fsf", "1"});
        Running write = c.Start(Launch({"write", a.string()}).Signalled());
        std::this_thread::sleep_for(Somewhere(c, typical));
        write.Signal(signal);
        const Ended ended = write.Wait();
        c.ExpectOpens();
        c.Ok({"rewind"});
        const std::vector<std::string> back = c.ReadBack(1);
        EXPECT_TRUE(back.size() == 1 && back[0] == Slurp(first)) << "the file before changed";
        c.Ok({"rewind"});
        c.Ok({"fsf", "1"});
        fs::remove(c.Outside("rest"));
        c.Run({"read", c.Outside("rest").string()});
        const std::string got = Slurp(c.Outside("rest"));
        EXPECT_EQ(got, data.substr(0, got.size())) << "not a beginning of what was written";
        EXPECT_TRUE(ended.exit != 0 || got == data) << "success claimed: " << ended.err;
        EXPECT_TRUE(c.Leftovers({}).empty());
    }
    return "";
}

// A command that changes the cartridge, killed with SIGKILL somewhere inside: the cartridge
// opens afterwards and holds either what it held before or what the command made of it.
struct Change {
    const char* name;
    std::vector<std::string> words;
    bool fresh;  // run on a path with no cartridge yet
};

const std::vector<Change>& Changes()
{
    static const std::vector<Change> changes = {
        {"new", {"new"}, true},
        {"new --force", {"new", "--force"}, false},
        {"write", {"write", "b"}, false},
        {"weof", {"weof", "5"}, false},
        {"erase", {"erase"}, false},
        {"mkpartition", {"mkpartition", "100"}, false},
        {"setblk", {"setblk", "512"}, false},
        {"unload", {"unload"}, false},
        {"convert", {"status"}, false},  // the first open of an old VELMCART file
    };
    return changes;
}

void KillDuring(Case& c, const Change& change, const std::string& data, const std::string& b)
{
    static std::map<std::string, microseconds> typical;
    SCOPED_TRACE(std::string("killed during ") + change.name);
    const auto prepare = [&] {
        std::error_code ignored;
        fs::remove_all(c.tape(), ignored);
        fs::remove(c.tape() + ".velmcart-v1", ignored);
        if (change.fresh) {
            return;
        }
        if (std::string(change.name) == "convert") {
            sim::Cartridge old = sim::Cartridge::Blank(uint64_t{100} * 1000 * 1000);
            old.settings.blockLength = 0;
            old.partitions[0].objects = {
                sim::TapeObject::Block(std::vector<uint8_t>(data.begin(), data.end())),
                sim::TapeObject::Filemark()};
            std::string error;
            EXPECT_TRUE(sim::SaveCartridge(old, c.tape(), error)) << error;
            return;
        }
        c.Blank();
        c.Ok({"write", "a"});
        c.Ok({"weof"});
    };
    if (typical.count(change.name) == 0) {
        prepare();
        typical[change.name] = Timed([&] { c.Ok(change.words); });
    }
    prepare();
    Running run = c.Start(Launch(change.words));
    std::this_thread::sleep_for(Somewhere(c, typical[change.name]));
    run.Signal(SIGKILL);
    run.Wait();

    const Ended status = c.Run({"status"});
    if (change.fresh) {
        // Never half a cartridge: none at all, or a whole blank one.
        EXPECT_TRUE(status.exit == 0 || status.err.find("no such cartridge") != std::string::npos)
            << status.err;
        const std::vector<std::string> left = c.Leftovers({"a", "b"});
        EXPECT_TRUE(left.empty()) << "left behind: " << left.front();
        return;
    }
    EXPECT_EQ(status.exit, 0) << "the cartridge no longer opens: " << status.err;
    if (std::string(change.name) == "unload") {
        c.Run({"load"});
    }
    const nlohmann::json map = nlohmann::json::parse(c.Ok({"--json", "map"}).out, nullptr, false);
    const nlohmann::json result = map.is_object() ? map.value("result", nlohmann::json()) : nullptr;
    EXPECT_TRUE(result.is_object()) << "map gave no answer";
    const bool blank = result.is_object() && result.value("usedBytes", -1) == 0;
    const bool partitioned = result.is_object() && result["partitions"].size() == 2;
    const bool erased = blank || partitioned;
    const char* name = change.name;
    const bool mayErase = name == std::string("new --force") || name == std::string("erase") ||
                          name == std::string("mkpartition");
    EXPECT_TRUE(!erased || mayErase) << "committed data lost";
    if (!erased) {
        c.Ok({"setblk", "0"});
        const std::vector<std::string> back = c.ReadBack(1);
        EXPECT_TRUE(back.size() == 1 && back[0] == data) << "the first tape file changed";
    }
    if (!erased && name == std::string("write")) {
        fs::remove(c.Outside("rest"));
        c.Run({"read", c.Outside("rest").string()});
        const std::string got = Slurp(c.Outside("rest"));
        EXPECT_EQ(got, b.substr(0, got.size())) << "not a beginning of what was written";
    }
    const std::vector<std::string> left = c.Leftovers({"a", "b", "t.velmcart-v1"});
    EXPECT_TRUE(left.empty()) << "left behind: " << left.front();
}

// Every changing command, each killed once at a random moment.
std::string KillMinusNine(Case& c)
{
    const std::string data = Slurp(c.Data("a", size_t{256} * 1024));
    const std::string b = Slurp(c.Data("b", 12 * kMiB));
    for (const Change& change : Changes()) {
        KillDuring(c, change, data, b);
    }
    return "";
}

// Several velmtapes on one cartridge at once: each waits its turn, none is lost.
std::string Concurrent(Case& c)
{
    c.Blank();
    constexpr int kMarkers = 4;
    std::vector<Running> running;
    for (int i = 0; i < kMarkers; ++i) {
        running.push_back(c.Start(Launch({"--wait", "120", "weof", "1"})));
        running.push_back(c.Start(Launch({"--wait", "120", "status"})));
    }
    for (Running& r : running) {
        const Ended ended = r.Wait();
        EXPECT_EQ(ended.exit, 0) << ended.err;
    }
    c.Ok({"rewind"});
    c.Ok({"fsf", std::to_string(kMarkers)});
    const Ended past = c.Run({"fsf", "1"});
    EXPECT_EQ(past.exit, 2) << "more filemarks than the runs wrote";
    EXPECT_TRUE(c.Leftovers({}).empty());
    return "";
}

}  // namespace

std::vector<AttackClass> ProcessAttacks()
{
    return {
        {"closed-descriptors", ClosedDescriptors, 1},
        {"file-size-limit", FileSizeLimit, 2},
        {"signals-during-read", SignalsDuringRead, 1},
        {"signals-during-read-named", SignalsDuringReadNamed, 1},
        {"signals-during-write", SignalsDuringWrite, 1},
        {"kill-9", KillMinusNine, 2},
        {"concurrent", Concurrent, 2},
    };
}

}  // namespace attack
