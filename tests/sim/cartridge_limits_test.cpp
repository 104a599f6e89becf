// What no cartridge of a given size can hold, checked in one place for the drive, the old
// file's decoder and the store: each limit at its edge, and sizes that would wrap around.
#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "sim/drive_types.h"

namespace {

using sim::CartridgeLimits;

TEST(CartridgeLimits, CountsAndLengthsAtTheirEdges)
{
    const struct {
        std::optional<std::string> problem;
        bool refused;
    } rows[] = {
        {CartridgeLimits::PartitionCount(0), true},
        {CartridgeLimits::PartitionCount(1), false},
        {CartridgeLimits::PartitionCount(sim::kMaxPartitions), false},
        {CartridgeLimits::PartitionCount(sim::kMaxPartitions + 1), true},
        {CartridgeLimits::BlockLength(0), false},
        {CartridgeLimits::BlockLength(sim::kMaximumBlockLength), false},
        {CartridgeLimits::BlockLength(uint64_t{sim::kMaximumBlockLength} + 1), true},
        {CartridgeLimits::Position(0, 1, 0, 0), false},
        {CartridgeLimits::Position(0, 1, 7, 7), false},
        {CartridgeLimits::Position(0, 1, 8, 7), true},
        {CartridgeLimits::Position(1, 1, 0, 0), true},
        {CartridgeLimits::Position(0, 0, 0, 0), true},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(rows[i].problem.has_value(), rows[i].refused) << "row " << i;
    }
}

TEST(CartridgeLimits, PartitionsFillTheTapeAndNoMore)
{
    CartridgeLimits exact(1000);
    EXPECT_EQ(exact.AddPartition(600), std::nullopt);
    EXPECT_EQ(exact.AddPartition(400), std::nullopt);
    EXPECT_EQ(exact.AddPartition(1), "partitions larger than the tape");

    // Two sizes whose sum wraps around to less than the tape are refused all the same.
    CartridgeLimits wrapped(1000);
    EXPECT_EQ(wrapped.AddPartition(500), std::nullopt);
    EXPECT_EQ(wrapped.AddPartition(UINT64_MAX - 200), "partitions larger than the tape");
    EXPECT_EQ(wrapped.AddPartition(500), std::nullopt) << "a refused size counts for nothing";
}

}  // namespace
