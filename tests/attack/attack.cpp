// Starting velmtape the way the attacks need (fork and exec, so that descriptors, limits and
// the user can be set in between), the cases' scratch folders, and the shared checks.
#include "attack.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace attack {
namespace {

constexpr const char* kSecondUser = "velmattack";

bool IsSideFile(const std::string& name, const std::string& tape)
{
    for (const char* side : {"-wal", "-shm", "-journal"}) {
        if (name == tape + side) {
            return true;
        }
    }
    return false;
}

[[noreturn]] void ChildFailed()
{
    _exit(127);
}

// AddressSanitizer's options for a run that gets a signal from outside: every signal it would
// catch as a fault is left to its default action. Options already given come first.
void SignalsAsPlainBuild(std::vector<std::string>& environment)
{
    constexpr const char* kName = "ASAN_OPTIONS=";
    constexpr const char* kHandlersOff =
        "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:handle_sigill=0:"
        "handle_sigtrap=0";
    for (std::string& entry : environment) {
        if (entry.rfind(kName, 0) == 0) {
            entry += std::string(":") + kHandlersOff;
            return;
        }
    }
    environment.push_back(std::string(kName) + kHandlersOff);
}

}  // namespace

std::vector<std::string> Ended::ErrLines() const
{
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool Running::Exited()
{
    int status = 0;
    if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
    }
    return status_.has_value();
}

void Running::Signal(int signal)
{
    if (!Exited()) {
        kill(pid_, signal);
    }
}

Ended Running::Wait(std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!Exited()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "velmtape still running after " << limit.count() << " s: a hang";
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            status_ = status;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Ended ended;
    ended.exit = WIFEXITED(*status_) ? WEXITSTATUS(*status_) : 128 + WTERMSIG(*status_);
    ended.out = Slurp(out_);
    ended.err = Slurp(err_);
    return ended;
}

Case::Case(uint64_t seed) : random_(seed)
{
    char pattern[] = "/tmp/velmtape-attack-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("cannot make a scratch folder");
    }
    const fs::path root = pattern;
    // Open to everyone, as /tmp is: the second user's attacks plant files in it.
    fs::permissions(root, fs::perms::all | fs::perms::sticky_bit);
    dir_ = root / "work";
    io_ = root / "io";
    fs::create_directory(dir_);
    fs::create_directory(io_);
    fs::permissions(dir_, fs::perms::all | fs::perms::sticky_bit);
    tape_ = (dir_ / "t").string();
}

Case::~Case()
{
    std::error_code ignored;
    fs::remove_all(dir_.parent_path(), ignored);
}

Running Case::Start(Launch launch)
{
    // Another build may be attacked by hand, an older one to see a case fail.
    const char* binary = std::getenv("VELMTAPE_ATTACK_BINARY");
    std::vector<std::string> words{binary != nullptr && *binary != '\0' ? binary : VELMTAPE_BINARY};
    if (launch.words.empty() || launch.words[0] != "-f") {
        words.insert(words.end(), {"-f", tape_});
    }
    words.insert(words.end(), launch.words.begin(), launch.words.end());
    std::vector<char*> argv = tooltest::Pointers(words);
    std::vector<std::string> envStore = tooltest::EnvironmentWithoutTape();
    if (launch.signalled) {
        SignalsAsPlainBuild(envStore);
    }
    std::vector<char*> envp = tooltest::Pointers(envStore);
    const unsigned n = started_++;
    const fs::path out = io_ / ("out-" + std::to_string(n));
    const fs::path err = io_ / ("err-" + std::to_string(n));
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int inFd = launch.inFd >= 0 ? launch.inFd : open(launch.in.c_str(), O_RDONLY | O_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir_.c_str()) != 0 || dup2(inFd, 0) != 0 || dup2(outFd, 1) != 1 ||
            dup2(errFd, 2) != 2) {
            ChildFailed();
        }
        for (const int fd : launch.closed) {
            close(fd);
        }
        const rlimit limit{launch.fileLimit, launch.fileLimit};
        if (launch.fileLimit != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            ChildFailed();
        }
        if (launch.user) {
            const passwd* user = getpwuid(*launch.user);
            if (user == nullptr || setgid(user->pw_gid) != 0 || setuid(*launch.user) != 0) {
                ChildFailed();
            }
        }
        execve(argv[0], argv.data(), envp.data());
        ChildFailed();
    }
    close(outFd);
    close(errFd);
    if (launch.inFd < 0) {
        close(inFd);
    }
    return Running(pid, out, err);
}

Ended Case::Ok(std::vector<std::string> words)
{
    const std::string shown = words.empty() ? "" : words[0];
    Ended ended = Run(std::move(words));
    EXPECT_EQ(ended.exit, 0) << shown << ": " << ended.err;
    return ended;
}

fs::path Case::Data(const std::string& name, size_t bytes, bool outside)
{
    std::string data(bytes, '\0');
    for (size_t i = 0; i < bytes; i += sizeof(uint64_t)) {
        const uint64_t word = random_();
        data.replace(i, std::min(sizeof(word), bytes - i), reinterpret_cast<const char*>(&word),
                     std::min(sizeof(word), bytes - i));
    }
    fs::path path = (outside ? io_ : dir_) / name;
    Spit(path, data);
    return path;
}

void Case::Blank()
{
    Ok({"new"});
    Ok({"setblk", "0"});
}

std::vector<std::string> Case::ReadBack(size_t files)
{
    std::vector<std::string> back;
    Ok({"rewind"});
    for (size_t i = 0; i < files; ++i) {
        const fs::path path = io_ / ("back-" + std::to_string(started_));
        const Ended read = Run({"read", path.string()});
        EXPECT_EQ(read.exit, 0) << "tape file " << i << ": " << read.err;
        back.push_back(Slurp(path));
        fs::remove(path);
    }
    return back;
}

void Case::ExpectOpens()
{
    const Ended status = Run({"status"});
    EXPECT_EQ(status.exit, 0) << "the cartridge no longer opens: " << status.err;
}

std::vector<fs::path> Case::CartridgeFiles() const
{
    std::vector<fs::path> files;
    if (fs::is_directory(tape_)) {
        for (const auto& entry : fs::directory_iterator(tape_)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        return files;
    }
    for (const char* side : {"", "-wal", "-shm", "-journal"}) {
        if (fs::is_regular_file(tape_ + side)) {
            files.push_back(tape_ + side);
        }
    }
    return files;
}

std::vector<fs::path> Case::OwnNames() const
{
    std::vector<fs::path> names = CartridgeFiles();
    names.push_back(fs::is_directory(tape_) ? fs::path(tape_) / "fresh" : fs::path(tape_ + "-wal"));
    return names;
}

std::vector<std::string> Case::Leftovers(const std::set<std::string>& expected) const
{
    const std::string tape = fs::path(tape_).filename().string();
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        const std::string name = entry.path().filename().string();
        if (name != tape && !IsSideFile(name, tape) && expected.count(name) == 0) {
            left.push_back(name);
        }
    }
    return left;
}

std::optional<uint64_t> KeptBytes(const Ended& ended)
{
    if (ended.err.find("none of them reached the tape") != std::string::npos) {
        return 0;
    }
    const size_t at = ended.err.find(" bytes of them (");
    if (at == std::string::npos) {
        return std::nullopt;
    }
    size_t start = at;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(ended.err[start - 1]))) {
        --start;
    }
    return std::stoull(ended.err.substr(start, at - start));
}

uint64_t ExpectTrueWriteFailure(const Ended& ended)
{
    EXPECT_EQ(ended.exit, 2) << ended.err;
    EXPECT_NE(ended.err.find("write failed after "), std::string::npos) << ended.err;
    EXPECT_NE(ended.out.find("stopped at:"), std::string::npos) << ended.out;
    EXPECT_EQ(ended.err.find("left unchanged"), std::string::npos) << ended.err;
    ExpectOnlyOwnLines(ended);
    const std::optional<uint64_t> kept = KeptBytes(ended);
    EXPECT_TRUE(kept.has_value()) << "the message does not say what reached the tape: "
                                  << ended.err;
    return kept.value_or(0);
}

void ExpectOnlyOwnLines(const Ended& ended)
{
    for (const std::string& line : ended.ErrLines()) {
        EXPECT_EQ(line.rfind("velmtape: ", 0), 0u) << "a line not velmtape's: " << line;
    }
}

std::optional<uid_t> SecondUser(std::string& why)
{
    if (geteuid() != 0) {
        why = "not root: no second user to plant files";
        return std::nullopt;
    }
    const std::string useradd =
        std::string("useradd --system --no-create-home ") + kSecondUser + " >/dev/null 2>&1";
    // NOLINTNEXTLINE(cert-env33-c): the test runs a fixed command of its own
    if (getpwnam(kSecondUser) == nullptr && std::system(useradd.c_str()) != 0) {
        why = "useradd failed: no second user to plant files";
        return std::nullopt;
    }
    const passwd* user = getpwnam(kSecondUser);
    if (user == nullptr) {
        why = "no second user";
        return std::nullopt;
    }
    return user->pw_uid;
}

bool MountSmall(const fs::path& at, const std::string& type, uint64_t bytes, std::string& why)
{
    if (geteuid() != 0) {
        why = "not root: cannot mount a small file system";
        return false;
    }
    fs::create_directories(at);
    if (type == "tmpfs") {
        const std::string options = "size=" + std::to_string(bytes);
        if (mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            why = std::string("cannot mount tmpfs: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    if (type == "bindfs") {
        // A FUSE view of a folder beside: a file system without unnamed files (O_TMPFILE).
        const fs::path source = at.string() + ".src";
        fs::create_directories(source);
        // NOLINTNEXTLINE(cert-env33-c): the test runs a fixed command of its own
        if (std::system(
                ("bindfs " + source.string() + " " + at.string() + " >/dev/null 2>&1").c_str()) !=
            0) {
            why = "cannot mount a FUSE file system with bindfs (not installed, or no /dev/fuse)";
            return false;
        }
        return true;
    }
    const std::string image = at.string() + ".img";
    const std::string commands =
        "truncate -s " + std::to_string(bytes) + " " + image + " && mkfs." + type + " " + image +
        " >/dev/null 2>&1" + " && mount -o loop " + image + " " + at.string() + " >/dev/null 2>&1";
    if (std::system(commands.c_str()) != 0) {  // NOLINT(cert-env33-c): fixed commands of its own
        fs::remove(image);
        why = "cannot make and mount a " + type + " file system on a loop device (mkfs." + type +
              " missing, or no loop devices here)";
        return false;
    }
    return true;
}

void Unmount(const fs::path& at)
{
    umount2(at.c_str(), MNT_DETACH);
    std::error_code ignored;
    fs::remove(at.string() + ".img", ignored);
    fs::remove_all(at.string() + ".src", ignored);
}

}  // namespace attack
