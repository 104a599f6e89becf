// The values the simulated drive and its media share: comparing settings and cartridges, a blank
// cartridge, and what makes a cartridge one no drive could hold.
#include "sim/drive_internal.h"

namespace sim {

bool DriveSettings::operator==(const DriveSettings& o) const
{
    return blockLength == o.blockLength && reportSetmarks == o.reportSetmarks &&
           compression == o.compression && decompression == o.decompression &&
           compressionAlgorithm == o.compressionAlgorithm &&
           decompressionAlgorithm == o.decompressionAlgorithm;
}

Cartridge Cartridge::Blank(uint64_t capacityBytes)
{
    Cartridge cartridge;
    cartridge.capacityBytes = capacityBytes;
    cartridge.partitions = {Partition{capacityBytes, {}}};
    return cartridge;
}

std::optional<std::string> Cartridge::Problem() const
{
    if (partitions.empty() || partitions.size() > kMaxPartitions) {
        return std::to_string(partitions.size()) + " partitions";
    }
    uint64_t total = 0;
    for (const auto& p : partitions) {
        if (p.capacityBytes > capacityBytes - total) {
            return std::string("partitions larger than the tape");
        }
        total += p.capacityBytes;
        for (const auto& object : p.objects) {
            if (object.data.size() > kMaximumBlockLength) {
                return std::string("block longer than the drive takes");
            }
        }
    }
    if (settings.blockLength > kMaximumBlockLength) {
        return std::string("block length out of range");
    }
    if (partition >= partitions.size() || position > partitions[partition].objects.size()) {
        return std::string("position beyond end of data");
    }
    return std::nullopt;
}

bool Cartridge::operator==(const Cartridge& o) const
{
    if (capacityBytes != o.capacityBytes || densityCode != o.densityCode ||
        writeProtected != o.writeProtected || partition != o.partition || position != o.position ||
        !(settings == o.settings) || partitions.size() != o.partitions.size()) {
        return false;
    }
    for (size_t p = 0; p < partitions.size(); ++p) {
        const auto& a = partitions[p];
        const auto& b = o.partitions[p];
        if (a.capacityBytes != b.capacityBytes || a.objects.size() != b.objects.size()) {
            return false;
        }
        for (size_t i = 0; i < a.objects.size(); ++i) {
            if (a.objects[i].kind != b.objects[i].kind || a.objects[i].data != b.objects[i].data) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace sim
