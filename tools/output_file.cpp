// `read`'s output file with POSIX calls: the decisions rest on what the path is (lstat, then
// the opened file), the new file is made in the path's directory so that putting it in place
// is one link or rename, and a file without a name is preferred so that nothing named exists
// until the data is complete.
#include "tools/output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/file_kind.h"
#include "tools/cartridge_store.h"
#include "tools/data_file.h"

namespace tools {
namespace {

constexpr const char* kStdoutName = "standard output";
constexpr const char* kTempInfix = ".velmtape-";  // the new file: .NAME.velmtape-XXXXXX
constexpr mode_t kPermissionBits = 07777;
constexpr mode_t kNewFileMode = 0666;  // before the umask, as any tool creates files
constexpr int kTempNameTries = 64;
// A new file goes to the disk in pieces of this size as it is written, so the flush before it
// takes its name waits for the last piece, not for the whole file.
constexpr uint64_t kWritebackBytes = uint64_t{8} << 20;

// Signals whose default action is not to end the process: no temporary to remove for them.
constexpr int kHarmlessSignals[] = {SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU};

// The named new file while it is written, for the signal handler: an interrupted read removes
// it before the tool dies of the signal. Written only with those signals blocked.
char gPendingTemp[PATH_MAX] = {};

extern "C" void RemovePendingTemp(int signal)
{
    if (gPendingTemp[0] != '\0') {
        unlink(gPendingTemp);  // async-signal-safe
    }
    std::signal(signal, SIG_DFL);
    raise(signal);
}

bool EndsProcess(int signal)
{
    if (signal == SIGKILL || signal == SIGSTOP) {
        return false;  // cannot be caught
    }
    for (const int harmless : kHarmlessSignals) {
        if (signal == harmless) {
            return false;
        }
    }
    return true;
}

// Every signal that can be caught and would end the process.
sigset_t EndingSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (EndsProcess(signal)) {
            sigaddset(&set, signal);
        }
    }
    return set;
}

// Sets (or with an empty path clears) the file the handler removes. The handler goes on every
// ending signal on first use, leaving alone a signal the caller chose to ignore (nohup) and
// the ones the C library keeps for itself (sigaction refuses those).
void SetPendingTemp(const std::string& path)
{
    const sigset_t block = EndingSignals();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &block, &old);
    std::strncpy(gPendingTemp, path.c_str(), sizeof(gPendingTemp) - 1);
    static bool installed = false;
    if (!installed && !path.empty()) {
        installed = true;
        for (int signal = 1; signal < NSIG; ++signal) {
            struct sigaction now {};
            if (!EndsProcess(signal) || sigaction(signal, nullptr, &now) != 0 ||
                now.sa_handler == SIG_IGN) {
                continue;
            }
            struct sigaction handler {};
            handler.sa_handler = RemovePendingTemp;
            handler.sa_mask = block;
            sigaction(signal, &handler, nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name for the new file beside `base` that nobody can guess ahead.
std::string TempName(const std::string& base)
{
    static std::random_device source;
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string name = "." + base + kTempInfix;
    for (int i = 0; i < 6; ++i) {
        name += kLetters[source() % (sizeof(kLetters) - 1)];
    }
    return name;
}

// Unnamed files are linked in through /proc (any user may) or, without /proc, by descriptor
// (which needs CAP_DAC_READ_SEARCH).
int LinkByDescriptor(int fd, int dir, const std::string& name)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    if (errno != ENOENT) {
        return errno;
    }
    return linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

}  // namespace

OutputFile::OutputFile(const std::string& path)
{
    if (NamesStandardOutput(path)) {
        fd_ = STDOUT_FILENO;
        name_ = kStdoutName;
        return;
    }
    name_ = path;
    struct stat st {};
    const bool exists = lstat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        throw ToolError(path, "cannot use: " + ErrorText(errno));
    }
    if (exists && S_ISLNK(st.st_mode)) {
        throw ToolError(path,
                        "is a symbolic link; velmtape does not write through links "
                        "(name the file it leads to)");
    }
    if (exists && (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
        fd_ = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
        struct stat opened {};
        if (fd_ < 0 || fstat(fd_, &opened) != 0 || !SameFile(st, opened)) {
            const int error = fd_ < 0 ? errno : ESTALE;
            if (fd_ >= 0) {
                close(fd_);
            }
            throw ToolError(path, "cannot open: " + ErrorText(error));
        }
        owned_ = true;
        return;
    }
    if (exists && S_ISDIR(st.st_mode)) {
        throw ToolError(path, "cannot write: " + ErrorText(EISDIR));
    }
    if (exists && !S_ISREG(st.st_mode)) {
        throw ToolError(path, std::string("is ") + store::FileKindName(st.st_mode) +
                                  "; velmtape writes only files, pipes and terminals");
    }
    if (exists && st.st_nlink > 1) {
        throw ToolError(path, "has " + std::to_string(st.st_nlink) +
                                  " hard links; a new file in its place would split them");
    }
    // Renaming over a file needs only the directory's permission; the file's own decides.
    if (exists && access(path.c_str(), W_OK) != 0) {
        throw ToolError(path, "cannot write: " + ErrorText(errno));
    }
    // The new file takes the old one's place, so it takes its permissions and owner too.
    mode_t mode = 0;
    if (exists) {
        mode = st.st_mode & kPermissionBits;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = kNewFileMode & ~mask;
    }
    OpenBeside(exists, mode, st.st_uid, st.st_gid);
}

void OutputFile::OpenBeside(bool exists, mode_t mode, uid_t uid, gid_t gid)
{
    exists_ = exists;
    base_ = BaseOf(name_);
    dir_ = open(DirectoryOf(name_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_ < 0) {
        throw ToolError(name_, "cannot create a file beside it: " + ErrorText(errno));
    }
    fd_ = openat(dir_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kNewFileMode);
    const bool linkable = access("/proc/self/fd", F_OK) == 0 || geteuid() == 0;
    if (fd_ >= 0 && linkable) {
        kind_ = Kind::Unnamed;
    } else {
        if (fd_ >= 0) {
            close(fd_);
        } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            const int error = errno;
            Discard();
            throw ToolError(name_, "cannot create a file beside it: " + ErrorText(error));
        }
        for (int tries = 0; tries < kTempNameTries; ++tries) {
            tempName_ = TempName(base_);
            fd_ = openat(dir_, tempName_.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
            if (fd_ >= 0 || errno != EEXIST) {
                break;
            }
        }
        if (fd_ < 0) {
            const int error = errno;
            tempName_.clear();
            Discard();
            throw ToolError(name_, "cannot create a file beside it: " + ErrorText(error));
        }
        kind_ = Kind::Named;
        SetPendingTemp(DirectoryOf(name_) + "/" + tempName_);
    }
    owned_ = true;
    const bool otherOwner = exists && (uid != geteuid() || gid != getegid());
    if ((otherOwner && fchown(fd_, uid, gid) != 0) || fchmod(fd_, mode) != 0) {
        const int error = errno;
        Discard();
        throw ToolError(name_, "cannot give a new file the owner and permissions of this one: " +
                                   ErrorText(error));
    }
}

OutputFile::~OutputFile()
{
    Discard();
}

void OutputFile::Discard()
{
    if (owned_ && fd_ >= 0) {
        close(fd_);  // an unnamed file goes with its last descriptor
    }
    fd_ = -1;
    if (!tempName_.empty()) {
        unlinkat(dir_, tempName_.c_str(), 0);
        SetPendingTemp("");
        tempName_.clear();
    }
    if (dir_ >= 0) {
        close(dir_);
        dir_ = -1;
    }
}

int OutputFile::Write(const uint8_t* data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd_, data + done, length - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            written_ += static_cast<uint64_t>(n);
            if (kind_ != Kind::Direct && written_ - started_ >= kWritebackBytes) {
                // Only a start: the flush in Commit is what makes the file durable.
                sync_file_range(fd_, static_cast<off_t>(started_),
                                static_cast<off_t>(written_ - started_), SYNC_FILE_RANGE_WRITE);
                started_ = written_;
            }
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A standard output left non-blocking by whoever set it up: wait until it drains.
            pollfd ready{fd_, POLLOUT, 0};
            poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// A new path gets the unnamed file by one link. An existing file is replaced by a rename,
// which needs a name: the file is linked under a fresh one and renamed over the path at once,
// with every catchable signal held back in between, so only SIGKILL in those two calls could
// leave the name behind.
int OutputFile::LinkUnnamed()
{
    if (!exists_) {
        return LinkByDescriptor(fd_, dir_, base_);
    }
    const sigset_t block = EndingSignals();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &block, &old);
    int error = EEXIST;
    std::string temp;
    for (int tries = 0; tries < kTempNameTries && error == EEXIST; ++tries) {
        temp = TempName(base_);
        error = LinkByDescriptor(fd_, dir_, temp);
    }
    if (error == 0 && renameat(dir_, temp.c_str(), dir_, base_.c_str()) != 0) {
        error = errno;
        unlinkat(dir_, temp.c_str(), 0);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return error;
}

int OutputFile::Commit()
{
    if (kind_ == Kind::Direct) {
        return 0;
    }
    // On disk before it takes the path: a crash must leave the old file or the whole new one.
    int error = fsync(fd_) == 0 ? 0 : errno;
    if (error == 0 && kind_ == Kind::Unnamed) {
        error = LinkUnnamed();
    } else if (error == 0) {
        error = renameat(dir_, tempName_.c_str(), dir_, base_.c_str()) == 0 ? 0 : errno;
        if (error == 0) {
            SetPendingTemp("");
            tempName_.clear();
        }
    }
    if (error == 0) {
        fsync(dir_);  // the link or rename itself made durable; a failure loses nothing written
    }
    Discard();
    return error;
}

}  // namespace tools
