// What a cartridge path names before anything of it is opened for use: a folder, an old
// cartridge file (by its first bytes, never more), nothing, or something else; and the
// parent and last name of a path, for the operations made relative to the parent.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bytes/big_endian.h"
#include "store/cartridge_folder.h"
#include "store/file_kind.h"
#include "store/sqlite.h"

namespace store {

namespace {

constexpr size_t kHeaderLength = 100;
constexpr char kSqliteMagic[] = "SQLite format 3";  // with its NUL: 16 bytes
constexpr char kOldMagic[] = "VELMCART";
constexpr size_t kUserVersionOffset = 60;
constexpr size_t kApplicationIdOffset = 68;

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

std::string Errno(const std::string& doing)
{
    return doing + ": " + std::strerror(errno);
}

std::string ParentOf(const std::string& path)
{
    const std::string p = WithoutTrailingSlashes(path);
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
}

std::string NameOf(const std::string& path)
{
    const std::string p = WithoutTrailingSlashes(path);
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

PathKind Examine(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT && lstat(path.c_str(), &info) != 0) {
            return PathKind::Missing;
        }
        if (errno == ENOENT) {
            throw StoreError(
                "is a symbolic link to nothing; remove it or let it point at a cartridge",
                StoreError::Reason::Refused);
        }
        throw StoreError(Errno("cannot find the cartridge"));
    }
    if (S_ISDIR(info.st_mode)) {
        return PathKind::Folder;
    }
    if (!S_ISREG(info.st_mode)) {
        throw StoreError(std::string("is ") + FileKindName(info.st_mode) +
                         ", not a cartridge; nothing was read from it");
    }
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        throw StoreError(Errno("cannot open the cartridge"));
    }
    uint8_t header[kHeaderLength] = {};
    struct stat opened {};
    const ssize_t got = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode)
                            ? pread(fd, header, sizeof(header), 0)
                            : -1;
    close(fd);
    if (got < 0) {
        throw StoreError(Errno("cannot read the cartridge"));
    }
    const auto length = static_cast<size_t>(got);
    if (length >= sizeof(kOldMagic) - 1 &&
        std::memcmp(header, kOldMagic, sizeof(kOldMagic) - 1) == 0) {
        return PathKind::OldVelmcart;
    }
    if (length == kHeaderLength && std::memcmp(header, kSqliteMagic, sizeof(kSqliteMagic)) == 0 &&
        bytes::GetBe32(header + kApplicationIdOffset) == kApplicationId &&
        bytes::GetBe32(header + kUserVersionOffset) == kOldStoreVersion) {
        return PathKind::OldStore;
    }
    return PathKind::OtherFile;
}

}  // namespace store
