// The cartridge's files as the store lays them out: the database, and SQLite's log, index of
// the log and journal beside it, named after the file the database was opened as.
#include "tools/own_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "tools/data_file.h"

namespace tools {
namespace {

constexpr const char* kOwnSuffixes[] = {"", "-wal", "-shm", "-journal"};

std::string Resolved(const std::string& path)
{
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

}  // namespace

void RefuseOwnFile(const Session& session, const std::string& path, int standardFd)
{
    const std::string own = session.OnDevice() ? "" : Resolved(session.path());
    if (own.empty()) {
        return;
    }
    const bool stream = path == kStandardStream;
    const std::string subject =
        stream ? (standardFd == STDIN_FILENO ? "standard input" : "standard output") : path;
    struct stat file {};
    const bool exists = stream ? fstat(standardFd, &file) == 0 : stat(path.c_str(), &file) == 0;
    // A path yet to be made is compared by its name in its folder.
    const std::filesystem::path named(path);
    const std::string folder = Resolved(named.has_parent_path() ? named.parent_path() : ".");
    for (const char* suffix : kOwnSuffixes) {
        struct stat part {};
        const bool same =
            exists && stat((own + suffix).c_str(), &part) == 0 && SameFile(part, file);
        const bool sameName = !stream && folder + "/" + named.filename().string() == own + suffix;
        if (same || sameName) {
            throw ToolError(subject, *suffix == '\0'
                                         ? "is the cartridge file itself"
                                         : "is a file of the cartridge (its database's " +
                                               std::string(suffix + 1) +
                                               "); the cartridge's own files are never data");
        }
    }
}

}  // namespace tools
