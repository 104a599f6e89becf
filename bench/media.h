// The media a simulated drive can hold its tape in, by name, for the simulator benchmarks: a
// drive loaded with a blank tape of that medium, kept between runs where the medium persists.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/drive.h"

namespace bench {

const std::vector<std::string>& MediumNames();

// A drive holding the tape called `tape` on `medium`.
std::unique_ptr<sim::Drive> LoadedDrive(const std::string& medium, const std::string& tape);
// Whether the tape in the drive is still blank and needs writing.
bool Fresh(sim::Drive& drive);

}  // namespace bench
