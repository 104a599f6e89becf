// Where the simulated drive's cartridge lives between invocations: the cartridge file, the
// lock that keeps two running velmtape from using it at once, and the drive's own state that
// a real drive would keep while powered (cartridge ejected, removal prevented).
#pragma once

#include <stdexcept>
#include <string>

#include "sim/drive.h"

namespace tools {

// The tool's own failures (bad usage, a cartridge file that cannot be used): exit status 1.
class ToolError : public std::runtime_error {
public:
    ToolError(std::string subject, const std::string& what)
        : std::runtime_error(what), subject_(std::move(subject))
    {
    }
    const std::string& subject() const { return subject_; }

private:
    std::string subject_;  // the cartridge or device the message is about; may be empty
};

// What the drive remembers of the cartridge while it stays powered on.
struct DriveState {
    bool ejected = false;           // unloaded and handed out; `load` puts it back
    bool removalPrevented = false;  // PREVENT MEDIUM REMOVAL in force
    bool operator==(const DriveState& other) const
    {
        return ejected == other.ejected && removalPrevented == other.removalPrevented;
    }
    bool operator!=(const DriveState& other) const { return !(*this == other); }
};

// The cartridge file FILE, its lock file FILE.lock (held with flock for the whole invocation)
// and the drive state FILE.state (present only while the drive is not in its power-on state).
class CartridgeStore {
public:
    explicit CartridgeStore(std::string path);
    ~CartridgeStore();
    CartridgeStore(const CartridgeStore&) = delete;
    CartridgeStore& operator=(const CartridgeStore&) = delete;

    const std::string& path() const { return path_; }
    std::string lockPath() const { return path_ + ".lock"; }
    std::string statePath() const { return path_ + ".state"; }
    bool Exists() const;

    // Takes the lock at once or throws: another invocation is using the cartridge.
    void Lock();
    // Throws with the reason when the file is missing, unreadable or damaged.
    sim::Cartridge Load() const;
    DriveState LoadState() const;
    // Atomic: a failed save leaves the old file as it was. Throws on failure.
    void Save(const sim::Cartridge& cartridge) const;
    void SaveState(const DriveState& state) const;

private:
    std::string path_;
    int lockFd_ = -1;
};

}  // namespace tools
