// The cartridge's files are the ones in its folder: a data path is compared with them by
// what it is (device and inode), so another name for the same file is found too.
#include "tools/own_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/cartridge_folder.h"
#include "tools/data_file.h"

namespace tools {
namespace {

// Whether `file` is one of the files in the folder open on `folder`.
bool InFolder(int folder, const struct stat& file)
{
    DIR* entries = fdopendir(dup(folder));
    if (entries == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(entries)) {
        struct stat part {};
        if (!found && fstatat(folder, entry->d_name, &part, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(part, file)) {
            found = true;
        }
    }
    closedir(entries);
    return found;
}

}  // namespace

void RefuseOwnFile(const Session& session, const std::string& path, int standardFd)
{
    if (session.OnDevice()) {
        return;
    }
    const int folder = open(session.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return;
    }
    struct stat cartridge {};
    struct stat file {};
    struct stat parent {};
    const bool stream = path == kStandardStream;
    const bool exists = stream ? fstat(standardFd, &file) == 0 : stat(path.c_str(), &file) == 0;
    // A path yet to be made is in the folder when its parent is.
    const bool itself = fstat(folder, &cartridge) == 0 && exists && SameFile(file, cartridge);
    const bool inside = !itself && ((!stream && stat(store::ParentOf(path).c_str(), &parent) == 0 &&
                                     SameFile(parent, cartridge)) ||
                                    (exists && InFolder(folder, file)));
    close(folder);
    if (itself || inside) {
        throw ToolError(
            stream ? (standardFd == STDIN_FILENO ? "standard input" : "standard output") : path,
            itself ? "is the cartridge itself" : "is a file of the cartridge itself");
    }
}

}  // namespace tools
