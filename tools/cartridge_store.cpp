// Cartridge file, lock and drive state of the simulated drive, kept beside each other so that
// one invocation continues where the last one left off and two never work on one cartridge.
#include "tools/cartridge_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace tools {

CartridgeStore::CartridgeStore(std::string path) : path_(std::move(path)) {}

CartridgeStore::~CartridgeStore()
{
    if (lockFd_ >= 0) {
        close(lockFd_);  // releases the flock
    }
}

bool CartridgeStore::Exists() const
{
    struct stat info {};
    return stat(path_.c_str(), &info) == 0;
}

void CartridgeStore::Lock()
{
    // A separate lock file: the cartridge file itself is replaced by rename on every save,
    // so a lock on it would guard an inode that a later invocation never opens.
    const int fd = open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw ToolError(path_, "cannot open lock file " + lockPath() + ": " + std::strerror(errno));
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            throw ToolError(path_, "cartridge is locked by another running velmtape (lock file " +
                                       lockPath() + "); try again when it has finished");
        }
        throw ToolError(path_, std::string("cannot lock cartridge: ") + std::strerror(error));
    }
    lockFd_ = fd;
}

sim::Cartridge CartridgeStore::Load() const
{
    if (!Exists()) {
        throw ToolError(path_,
                        "no such cartridge file (create one with 'velmtape -f " + path_ + " new')");
    }
    std::string error;
    std::optional<sim::Cartridge> cartridge = sim::LoadCartridge(path_, error);
    if (!cartridge) {
        throw ToolError(path_, "cannot use cartridge file: " + error + " (file left unchanged)");
    }
    return *cartridge;
}

DriveState CartridgeStore::LoadState() const
{
    DriveState state;
    std::ifstream in(statePath());
    if (!in) {
        return state;  // no state file: the drive as it powers on
    }
    try {
        const nlohmann::json j = nlohmann::json::parse(in);
        state.ejected = j.at("ejected").get<bool>();
        state.removalPrevented = j.at("removalPrevented").get<bool>();
    } catch (const nlohmann::json::exception&) {
        throw ToolError(path_, "drive state file " + statePath() +
                                   " is damaged; remove it to start with the cartridge loaded");
    }
    return state;
}

void CartridgeStore::Save(const sim::Cartridge& cartridge) const
{
    std::string error;
    if (!sim::SaveCartridge(cartridge, path_, error)) {
        throw ToolError(path_, "cannot save cartridge: " + error);
    }
}

void CartridgeStore::SaveState(const DriveState& state) const
{
    if (state == DriveState{}) {
        if (std::remove(statePath().c_str()) != 0 && errno != ENOENT) {
            throw ToolError(path_, "cannot remove " + statePath() + ": " + std::strerror(errno));
        }
        return;
    }
    const nlohmann::json j = {{"ejected", state.ejected},
                              {"removalPrevented", state.removalPrevented}};
    const std::string temporary = statePath() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << j.dump() << "\n";
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            throw ToolError(path_, "cannot write " + temporary);
        }
    }
    if (std::rename(temporary.c_str(), statePath().c_str()) != 0) {
        const int error = errno;
        std::remove(temporary.c_str());
        throw ToolError(path_, "cannot write " + statePath() + ": " + std::strerror(error));
    }
}

}  // namespace tools
