// The simulator benchmarks' media. The tape is held in memory; a medium that persists would
// keep its tape between runs, so that the long setup is paid once.
#include "bench/media.h"

namespace bench {

const std::vector<std::string>& MediumNames()
{
    static const std::vector<std::string> names = {"memory"};
    return names;
}

std::unique_ptr<sim::Drive> LoadedDrive(const std::string& /*medium*/, const std::string& /*tape*/)
{
    return std::make_unique<sim::Drive>(sim::Options{}, sim::Cartridge::Blank());
}

bool Fresh(sim::Drive& /*drive*/)
{
    return true;
}

}  // namespace bench
