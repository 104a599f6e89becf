// Inputs the fuzz targets found that broke a rule, kept as tests: each failed before its fix.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/drive.h"

namespace {

// A data block of 10 bytes in a partition of 0 bytes: no drive can have written it, and a drive
// loaded with it would report more data than the partition holds.
TEST(CartridgeFileFinding, DataLargerThanItsPartitionIsRefused)
{
    sim::Cartridge c = sim::Cartridge::Blank(1000);
    c.partitions = {sim::Partition{0, {sim::TapeObject::Block(std::vector<uint8_t>(10, 0x55))}}};
    std::string error;
    EXPECT_FALSE(sim::DecodeCartridge(sim::EncodeCartridge(c), error).has_value());
    EXPECT_EQ(error.rfind("malformed cartridge file", 0), 0u) << error;
}

TEST(CartridgeFileFinding, DataFillingItsPartitionExactlyLoads)
{
    sim::Cartridge c = sim::Cartridge::Blank(1000);
    c.partitions = {sim::Partition{10, {sim::TapeObject::Block(std::vector<uint8_t>(10, 0x55))}}};
    std::string error;
    const auto loaded = sim::DecodeCartridge(sim::EncodeCartridge(c), error);
    ASSERT_TRUE(loaded.has_value()) << error;
    EXPECT_EQ(*loaded, c);
}

// Two partition sizes whose sum wraps around 2^64 to 10 bytes passed the "partitions larger
// than the tape" test on a tape of 100 bytes.
TEST(CartridgeFileFinding, PartitionSizesThatWrapAroundAreRefused)
{
    sim::Cartridge c = sim::Cartridge::Blank(100);
    c.partitions = {sim::Partition{0x8000000000000000u, {}},
                    sim::Partition{0x800000000000000Au, {}}};
    std::string error;
    EXPECT_FALSE(sim::DecodeCartridge(sim::EncodeCartridge(c), error).has_value());
    EXPECT_EQ(error, "malformed cartridge file: partitions larger than the tape");
}

}  // namespace
