// What every cartridge the simulator holds or loads must satisfy, checked by the drive and
// cartridge fuzz targets: a tape the drive's own commands could never have produced is a
// corrupted medium model.
#pragma once

#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "sim/drive.h"

namespace fuzzcheck {

inline void CheckCartridge(const sim::Cartridge& c)
{
    FUZZ_CHECK(c.partitions.size() == 1 || c.partitions.size() == 2);
    FUZZ_CHECK(c.partition < c.partitions.size());
    FUZZ_CHECK_MSG(c.position <= c.partitions[c.partition].objects.size(),
                   "position %llu beyond end of data %zu",
                   static_cast<unsigned long long>(c.position),
                   c.partitions[c.partition].objects.size());
    FUZZ_CHECK(c.settings.blockLength <= sim::kMaximumBlockLength);
    uint64_t partitioned = 0;  // never above the tape's capacity, so never wraps
    for (const sim::Partition& p : c.partitions) {
        FUZZ_CHECK_MSG(p.capacityBytes <= c.capacityBytes - partitioned,
                       "partitions larger than the tape of %llu bytes",
                       static_cast<unsigned long long>(c.capacityBytes));
        partitioned += p.capacityBytes;
        uint64_t used = 0;
        for (const sim::TapeObject& o : p.objects) {
            FUZZ_CHECK(o.kind == sim::ObjectKind::Block || o.kind == sim::ObjectKind::Filemark ||
                       o.kind == sim::ObjectKind::Setmark);
            FUZZ_CHECK(o.kind == sim::ObjectKind::Block || o.data.empty());
            FUZZ_CHECK(o.data.size() <= sim::kMaximumBlockLength);
            used += o.data.size();
        }
        FUZZ_CHECK_MSG(used <= p.capacityBytes, "%llu bytes recorded in a partition of %llu",
                       static_cast<unsigned long long>(used),
                       static_cast<unsigned long long>(p.capacityBytes));
    }
    // The file format carries every state the model can be in.
    std::string error;
    const auto again = sim::DecodeCartridge(sim::EncodeCartridge(c), error);
    FUZZ_CHECK_MSG(again.has_value(), "a held cartridge does not reload: %s", error.c_str());
    FUZZ_CHECK(*again == c);
}

}  // namespace fuzzcheck
