// The simulator benchmarks' media: a tape in memory, or in a cartridge database in a scratch
// folder ($TMPDIR, else /tmp) that is removed with the drive.
#include "bench/media.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "store/cartridge_db.h"

namespace bench {

const std::vector<std::string>& MediumNames()
{
    static const std::vector<std::string> names = {"memory", "sqlite"};
    return names;
}

LoadedDrive::LoadedDrive(const std::string& medium)
{
    const sim::Cartridge blank = sim::Cartridge::Blank();
    if (medium == "memory") {
        drive_ = std::make_unique<sim::Drive>(sim::Options{}, blank);
        return;
    }
    if (medium != "sqlite") {
        throw std::invalid_argument("no medium called " + medium);
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velmdat-bench-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("cannot make a scratch folder for the cartridge");
    }
    path_ = name.data();
    db_ = store::CartridgeDb::Create(path_ + "/t", blank, false, store::OpenOptions{});
    drive_ = std::make_unique<sim::Drive>(sim::Options{}, db_->Medium(), 0, 0, blank.settings);
}

LoadedDrive::~LoadedDrive()
{
    drive_.reset();
    db_.reset();
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

void LoadedDrive::Settle()
{
    if (db_ == nullptr) {
        return;
    }
    store::DriveState state = db_->State();
    state.partition = drive_->Partition();
    state.position = drive_->Position();
    state.settings = drive_->settings();
    db_->Commit(state);
}

}  // namespace bench
