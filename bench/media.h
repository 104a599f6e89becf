// The media a simulated drive can hold its tape in, by name, for the simulator benchmarks:
// "memory" (sim::MemoryMedium) and "sqlite" (the cartridge database of store/, in a scratch
// file removed afterwards).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/drive.h"

namespace store {
class CartridgeDb;
}

namespace bench {

const std::vector<std::string>& MediumNames();

// A drive holding a blank 2 GB tape on a medium, with what the medium needs kept alive.
class LoadedDrive {
public:
    explicit LoadedDrive(const std::string& medium);
    ~LoadedDrive();
    LoadedDrive(const LoadedDrive&) = delete;
    LoadedDrive& operator=(const LoadedDrive&) = delete;

    sim::Drive& drive() { return *drive_; }
    // Commits what was written, as the tool does after each command, so that the timed moves
    // meet a settled database.
    void Settle();

private:
    std::string path_;                        // the database file, for "sqlite"
    std::unique_ptr<store::CartridgeDb> db_;  // outlives the drive and its medium
    std::unique_ptr<sim::Drive> drive_;
};

}  // namespace bench
