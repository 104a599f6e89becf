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

std::optional<std::string> CartridgeLimits::PartitionCount(uint64_t count)
{
    if (count == 0 || count > kMaxPartitions) {
        return std::to_string(count) + " partitions";
    }
    return std::nullopt;
}

std::optional<std::string> CartridgeLimits::BlockLength(uint64_t length)
{
    if (length > kMaximumBlockLength) {
        return std::string("block length out of range");
    }
    return std::nullopt;
}

std::optional<std::string> CartridgeLimits::AddPartition(uint64_t capacityBytes)
{
    // Checked before adding: two huge sizes would otherwise wrap around to a small sum.
    if (capacityBytes > capacityBytes_ - total_) {
        return std::string("partitions larger than the tape");
    }
    total_ += capacityBytes;
    return std::nullopt;
}

std::optional<std::string> CartridgeLimits::Position(uint32_t partition, uint64_t partitions,
                                                     uint64_t position, uint64_t endOfData)
{
    if (partition >= partitions || position > endOfData) {
        return std::string("position beyond end of data");
    }
    return std::nullopt;
}

std::optional<std::string> Cartridge::Problem() const
{
    if (auto problem = CartridgeLimits::PartitionCount(partitions.size())) {
        return problem;
    }
    CartridgeLimits limits(capacityBytes);
    for (const auto& p : partitions) {
        if (auto problem = limits.AddPartition(p.capacityBytes)) {
            return problem;
        }
        for (const auto& object : p.objects) {
            if (object.data.size() > kMaximumBlockLength) {
                return std::string("block longer than the drive takes");
            }
        }
    }
    if (auto problem = CartridgeLimits::BlockLength(settings.blockLength)) {
        return problem;
    }
    const uint64_t endOfData =
        partition < partitions.size() ? partitions[partition].objects.size() : 0;
    return CartridgeLimits::Position(partition, partitions.size(), position, endOfData);
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
