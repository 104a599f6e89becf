// Opening the user's files for the data path with POSIX calls, so that every refusal carries
// the system's own reason and every decision rests on what the file is, not on its name.
#include "tools/data_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <vector>

#include "store/file_kind.h"
#include "tools/cartridge_store.h"

namespace tools {
namespace {

constexpr const char* kStdinName = "standard input";
constexpr const char* kStdoutName = "standard output";
constexpr const char* kTempInfix = ".velmtape-";  // the new file: .NAME.velmtape-XXXXXX
constexpr mode_t kPermissionBits = 07777;
constexpr mode_t kNewFileMode = 0666;  // before the umask, as any tool creates files
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The new file while it is written, for the signal handler: an interrupted read removes it
// before the tool dies of the signal. Written only with the cleanup signals blocked.
char gPendingTemp[PATH_MAX] = {};

extern "C" void RemovePendingTemp(int signal)
{
    if (gPendingTemp[0] != '\0') {
        unlink(gPendingTemp);  // async-signal-safe
    }
    std::signal(signal, SIG_DFL);
    raise(signal);
}

// The cleanup signals held back for the life of the object; one that arrives meanwhile is
// handled when it ends.
class CleanupSignalsHeld {
public:
    CleanupSignalsHeld()
    {
        sigset_t block;
        sigemptyset(&block);
        for (const int signal : kCleanupSignals) {
            sigaddset(&block, signal);
        }
        sigprocmask(SIG_BLOCK, &block, &old_);
    }
    ~CleanupSignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    CleanupSignalsHeld(const CleanupSignalsHeld&) = delete;
    CleanupSignalsHeld& operator=(const CleanupSignalsHeld&) = delete;

private:
    sigset_t old_;
};

// Sets (or with an empty path clears) the file the handler removes; the handlers are installed
// on first use, leaving alone a signal the caller chose to ignore (nohup).
void SetPendingTemp(const std::string& path)
{
    const CleanupSignalsHeld held;
    std::strncpy(gPendingTemp, path.c_str(), sizeof(gPendingTemp) - 1);
    static bool installed = false;
    if (!installed && !path.empty()) {
        installed = true;
        for (const int signal : kCleanupSignals) {
            struct sigaction now {};
            sigaction(signal, nullptr, &now);
            if (now.sa_handler != SIG_IGN) {
                struct sigaction handler {};
                handler.sa_handler = RemovePendingTemp;
                sigemptyset(&handler.sa_mask);
                sigaction(signal, &handler, nullptr);
            }
        }
    }
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

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::string ErrorText(int error)
{
    return std::strerror(error);
}

bool NamesStandardOutput(const std::string& path)
{
    if (path == kStandardStream) {
        return true;
    }
    struct stat link {};
    struct stat target {};
    struct stat out {};
    return lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
           stat(path.c_str(), &target) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
           SameFile(target, out);
}

InputFile::InputFile(const std::string& path)
{
    struct stat st {};
    if (path == kStandardStream) {
        fd_ = STDIN_FILENO;
        name_ = kStdinName;
        if (fstat(fd_, &st) != 0) {
            throw ToolError(name_, "cannot read: " + ErrorText(errno));
        }
        // Standard input is meant to stream, whatever feeds it; only a directory cannot.
        if (S_ISDIR(st.st_mode)) {
            throw ToolError(name_, "cannot read: " + ErrorText(EISDIR));
        }
        const off_t at = lseek(fd_, 0, SEEK_CUR);
        if (S_ISREG(st.st_mode) && at >= 0 && at <= st.st_size) {
            size_ = static_cast<uint64_t>(st.st_size - at);
        }
        return;
    }
    name_ = path;
    // The kind is decided before opening: opening a device can itself act (a tape rewinds).
    if (stat(path.c_str(), &st) != 0) {
        throw ToolError(path, "cannot open: " + ErrorText(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        throw ToolError(path, "cannot read: " + ErrorText(EISDIR));
    }
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        throw ToolError(path, std::string("is ") + store::FileKindName(st.st_mode) +
                                  ", not a file or a pipe; velmtape puts only those on tape");
    }
    fd_ = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        throw ToolError(path, "cannot open: " + ErrorText(errno));
    }
    owned_ = true;
    struct stat opened {};
    if (fstat(fd_, &opened) != 0 || !SameFile(st, opened)) {
        close(fd_);
        throw ToolError(path, "changed while it was being opened; nothing was written");
    }
    if (S_ISREG(opened.st_mode)) {
        size_ = static_cast<uint64_t>(opened.st_size);
    }
}

InputFile::~InputFile()
{
    if (owned_) {
        close(fd_);
    }
}

size_t InputFile::Fill(uint8_t* buffer, size_t capacity, int& error)
{
    error = 0;
    size_t filled = 0;
    while (filled < capacity) {
        const ssize_t n = read(fd_, buffer + filled, capacity - filled);
        if (n > 0) {
            filled += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    return filled;
}

OutputFile::OutputFile(const std::string& path) : path_(path)
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

    std::string pattern = DirectoryOf(path) + "/." + BaseOf(path) + kTempInfix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    {
        // A signal between the file's creation and the handler's record of it would leave
        // the file behind.
        const CleanupSignalsHeld held;
        fd_ = mkostemp(name.data(), O_CLOEXEC);
        if (fd_ < 0) {
            throw ToolError(path, "cannot create a file beside it: " + ErrorText(errno));
        }
        owned_ = true;
        tempPath_ = name.data();
        SetPendingTemp(tempPath_);
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
    const bool otherOwner = exists && (st.st_uid != geteuid() || st.st_gid != getegid());
    if ((otherOwner && fchown(fd_, st.st_uid, st.st_gid) != 0) || fchmod(fd_, mode) != 0) {
        const int error = errno;
        Discard();
        throw ToolError(path, "cannot give a new file the owner and permissions of this one: " +
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
        close(fd_);
    }
    fd_ = -1;
    if (!tempPath_.empty()) {
        unlink(tempPath_.c_str());
        SetPendingTemp("");
        tempPath_.clear();
    }
}

int OutputFile::Write(const uint8_t* data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd_, data + done, length - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
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

int OutputFile::Commit()
{
    if (tempPath_.empty()) {
        return 0;
    }
    // On disk before the rename: a crash must leave the old file or the whole new one.
    const int synced = fsync(fd_) == 0 ? 0 : errno;
    const int closed = close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    if (synced != 0 || closed != 0) {
        Discard();
        return synced != 0 ? synced : closed;
    }
    if (rename(tempPath_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        Discard();
        return error;
    }
    SetPendingTemp("");
    tempPath_.clear();
    const int dir = open(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);  // the rename itself made durable; a failure here loses nothing written
        close(dir);
    }
    return 0;
}

}  // namespace tools
