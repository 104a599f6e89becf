// Opening the user's files for the data path with POSIX calls, so that every refusal carries
// the system's own reason and every decision rests on what the file is, not on its name.
#include "tools/data_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/file_kind.h"
#include "tools/cartridge_store.h"

namespace tools {
namespace {

constexpr const char* kStdinName = "standard input";

}  // namespace

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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

}  // namespace tools
