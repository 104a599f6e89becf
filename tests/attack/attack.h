// The attack suite's common ground: velmtape run as a hostile or unlucky user would run it
// (closed descriptors, a file-size limit, another user, a signal at a random moment), a
// scratch folder per case, and the checks every case ends with: the cartridge opens, what was
// committed reads back byte for byte, nothing is left behind, and the messages are true.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/tool/tool_run.h"

namespace attack {

namespace fs = std::filesystem;

// How one velmtape is started.
struct Launch {
    explicit Launch(std::vector<std::string> w) : words(std::move(w)) {}
    Launch& Input(int fd)
    {
        inFd = fd;
        return *this;
    }
    Launch& Closed(std::vector<int> fds)
    {
        closed = std::move(fds);
        return *this;
    }
    Launch& FileLimit(rlim_t bytes)
    {
        fileLimit = bytes;
        return *this;
    }
    // The run will be sent a signal from outside: a sanitizer's fault handlers stand aside so
    // that the signal ends it as it ends a plain build (their report, made inside a handler
    // that may have interrupted the allocator, can deadlock and look like a hang of ours).
    Launch& Signalled()
    {
        signalled = true;
        return *this;
    }

    std::vector<std::string> words;
    std::string in = "/dev/null";      // standard input: a path
    int inFd = -1;                     // or a descriptor of the test's (a pipe end)
    std::vector<int> closed;           // standard descriptors closed before exec
    rlim_t fileLimit = RLIM_INFINITY;  // RLIMIT_FSIZE, as `ulimit -f` sets it
    std::optional<uid_t> user;         // run as this user (and its group) when root
    bool signalled = false;
};

// How it ended: the exit status (128 + signal when a signal ended it), its output.
struct Ended {
    int exit = -1;
    std::string out;
    std::string err;
    std::vector<std::string> ErrLines() const;
};

// A running velmtape.
class Running {
public:
    Running(pid_t pid, fs::path out, fs::path err) : pid_(pid), out_(out), err_(err) {}
    pid_t pid() const { return pid_; }
    bool Exited();  // without waiting
    void Signal(int signal);
    Ended Wait(std::chrono::seconds limit = std::chrono::seconds(120));

private:
    pid_t pid_;
    fs::path out_;
    fs::path err_;
    std::optional<int> status_;
};

// One run of an attack: its own folder with a cartridge path in it, and its random source.
class Case {
public:
    explicit Case(uint64_t seed);
    ~Case();
    Case(const Case&) = delete;
    Case& operator=(const Case&) = delete;

    const fs::path& dir() const { return dir_; }
    const std::string& tape() const { return tape_; }
    std::mt19937_64& random() { return random_; }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : random_() % n; }

    // velmtape with -f the case's cartridge (unless `words` start with -f), run in dir().
    Running Start(Launch launch);
    Ended Run(Launch launch) { return Start(std::move(launch)).Wait(); }
    Ended Run(std::vector<std::string> words) { return Run(Launch(std::move(words))); }
    // Runs and expects exit 0.
    Ended Ok(std::vector<std::string> words);

    // Random bytes, kept in a file of dir(), or outside it (on another file system than a
    // small one mounted there).
    fs::path Data(const std::string& name, size_t bytes, bool outside = false);
    // A path outside dir(), for files that must not count as left behind or fill it up.
    fs::path Outside(const std::string& name) const { return io_ / name; }
    // A blank cartridge with variable blocks, so files come back byte for byte.
    void Blank();
    // Tape files from the beginning: each `read` up to its filemark (or end of data).
    std::vector<std::string> ReadBack(size_t files);
    // The cartridge still opens and answers.
    void ExpectOpens();
    // Every regular file that makes up the cartridge (the path itself, or what its folder
    // holds, and SQLite's side files beside a one-file cartridge).
    std::vector<fs::path> CartridgeFiles() const;
    // Names that are the cartridge's own: its files, and a name it would take for one.
    std::vector<fs::path> OwnNames() const;
    // Names in dir() besides the cartridge's own and `expected`: temporaries, leftovers.
    std::vector<std::string> Leftovers(const std::set<std::string>& expected) const;

private:
    fs::path dir_;
    fs::path io_;  // the children's standard output and error
    std::string tape_;
    std::mt19937_64 random_;
    unsigned started_ = 0;
};

// One class of attack, run `Runs()` times with fresh cases; returns a reason to skip, or "".
struct AttackClass {
    const char* name;
    std::function<std::string(Case&)> run;
    unsigned ciRuns;  // runs in CI; VELMTAPE_ATTACK_RUNS sets every class's count by hand
};

// The table, one place for every class (attack_test.cpp).
const std::vector<AttackClass>& Classes();

// The classes of each source.
std::vector<AttackClass> ProcessAttacks();
std::vector<AttackClass> FileAttacks();
std::vector<AttackClass> DamageAttacks();

// What a failed write says reached the tape: "N bytes of them (M blocks) reached the tape",
// or "none of them reached the tape"; nullopt when it says neither.
std::optional<uint64_t> KeptBytes(const Ended& ended);
// The message and stop line of a write the cartridge file could not hold (a full disk, a
// file-size limit): exit 2, not death by a signal, one `velmtape:` line saying how much was
// kept, and where the tape stands. Returns the bytes kept.
uint64_t ExpectTrueWriteFailure(const Ended& ended);
// Every line of standard error is one of velmtape's own.
void ExpectOnlyOwnLines(const Ended& ended);

using tooltest::Slurp;  // the file's bytes; "" when missing
using tooltest::Spit;
// A user other than root for the second-user attacks, made with useradd once; nullopt (and
// the reason) when not root or useradd is missing.
std::optional<uid_t> SecondUser(std::string& why);
// A file system of its own mounted at `at`: a small tmpfs of `bytes`, a bindfs view (FUSE,
// which has no unnamed files), or `type` made on a loop device; false (and the reason) when
// this process may not mount it here.
bool MountSmall(const fs::path& at, const std::string& type, uint64_t bytes, std::string& why);
void Unmount(const fs::path& at);

// Unmounts what a case mounted over its folder, whatever the case's checks did.
class Unmounting {
public:
    explicit Unmounting(fs::path at) : at_(std::move(at)) {}
    ~Unmounting() { Unmount(at_); }
    Unmounting(const Unmounting&) = delete;
    Unmounting& operator=(const Unmounting&) = delete;

private:
    fs::path at_;
};

}  // namespace attack
