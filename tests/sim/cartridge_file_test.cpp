// Cartridge files: a saved tape comes back whole, and every kind of damaged file is refused
// without being touched; saving leaves no temporary file behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/sim/sim_bench.h"

namespace fs = std::filesystem;

namespace {

class CartridgeFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = fs::temp_directory_path() /
                  (std::string("velm-sim-") + info->name() + "-" + std::to_string(getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string Path(const char* name) const { return (folder_ / name).string(); }
    static std::vector<uint8_t> Bytes(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void Put(const std::string& path, const std::vector<uint8_t>& bytes)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // A tape with two partitions, data, both kinds of mark and changed settings.
    static sim::Cartridge Recorded()
    {
        Bench b;
        b.Out({0x15, 0x10, 0, 0, 14, 0}, {0, 0, 0x10, 0, 0x11, 8, 0, 1, 0x30, 3, 0, 0, 0x01, 0x2C});
        b.WriteFixed(3, 512, 7);
        b.Filemarks(1);
        b.Run({0x2B, 0x02, 0, 0, 0, 0, 0, 0, 1, 0});
        b.Out({0x15, 0x00, 0, 0, 12, 0}, {0, 0, 0x10, 8, 0x7F, 0, 0, 0, 0, 0, 0, 0});
        b.WriteVariable({1, 2, 3});
        b.Setmarks(1);
        b.WriteVariable(std::vector<uint8_t>(70000, 0xA5));
        b.Run({0x2B, 0, 0, 0, 0, 0, 1, 0, 0, 0});
        auto c = *b.drive.CurrentCartridge();
        c.writeProtected = true;
        return c;
    }

    fs::path folder_;
};

TEST_F(CartridgeFile, RoundTripKeepsEverythingAndLeavesNoTemporaryFile)
{
    const sim::Cartridge original = Recorded();
    std::string error;
    ASSERT_TRUE(sim::SaveCartridge(original, Path("tape.velm"), error)) << error;
    EXPECT_THAT(Names(), ::testing::ElementsAre("tape.velm"));
    const auto loaded = sim::LoadCartridge(Path("tape.velm"), error);
    ASSERT_TRUE(loaded.has_value()) << error;
    EXPECT_TRUE(*loaded == original);
    EXPECT_EQ(loaded->partition, 1u);
    EXPECT_EQ(loaded->position, 1u);
    EXPECT_EQ(loaded->partitions[1].objects[2].data.size(), 70000u);
    EXPECT_EQ(loaded->settings.blockLength, 0u);

    // A drive powered on with it continues where the last one stopped.
    Bench b({}, *loaded);
    std::vector<uint8_t> out;
    b.In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[7], 1);
    // Variable blocks were saved too; the unreported setmark is passed over.
    const auto r = b.In({0x08, 0x00, 0x01, 0x11, 0x70, 0}, 70000, out);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(out.size(), 70000u);
    EXPECT_EQ(out[69999], 0xA5);
}

TEST_F(CartridgeFile, SavingReplacesTheOldFileWhole)
{
    std::string error;
    ASSERT_TRUE(sim::SaveCartridge(Recorded(), Path("tape.velm"), error));
    const sim::Cartridge blank;
    ASSERT_TRUE(sim::SaveCartridge(blank, Path("tape.velm"), error));
    const auto loaded = sim::LoadCartridge(Path("tape.velm"), error);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_TRUE(*loaded == blank);
    EXPECT_THAT(Names(), ::testing::ElementsAre("tape.velm"));
}

TEST_F(CartridgeFile, FailedSaveLeavesNoTemporaryFile)
{
    fs::create_directories(folder_ / "tape.velm");  // a folder cannot be replaced by a file
    std::string error;
    EXPECT_FALSE(sim::SaveCartridge(sim::Cartridge{}, Path("tape.velm"), error));
    EXPECT_THAT(error, ::testing::HasSubstr("cannot replace"));
    EXPECT_THAT(Names(), ::testing::ElementsAre("tape.velm"));
    EXPECT_FALSE(sim::SaveCartridge(sim::Cartridge{}, Path("missing/tape.velm"), error));
    EXPECT_THAT(error, ::testing::HasSubstr("temporary"));
}

struct DamageRow {
    const char* name;
    std::vector<uint8_t> (*damage)(std::vector<uint8_t>);
    const char* says;
};
class DamagedFile : public CartridgeFile, public ::testing::WithParamInterface<DamageRow> {};

TEST_P(DamagedFile, IsRefusedAndLeftUntouched)
{
    const DamageRow& row = GetParam();
    std::string error;
    ASSERT_TRUE(sim::SaveCartridge(Recorded(), Path("tape.velm"), error));
    const std::vector<uint8_t> damaged = row.damage(Bytes(Path("tape.velm")));
    Put(Path("tape.velm"), damaged);
    const auto loaded = sim::LoadCartridge(Path("tape.velm"), error);
    EXPECT_FALSE(loaded.has_value()) << row.name;
    EXPECT_THAT(error, ::testing::HasSubstr(row.says)) << row.name;
    EXPECT_EQ(Bytes(Path("tape.velm")), damaged) << row.name;
    EXPECT_THAT(Names(), ::testing::ElementsAre("tape.velm")) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedFile,
    ::testing::Values(
        DamageRow{
            "empty",
            // NOLINTNEXTLINE(performance-unnecessary-value-param): the damage type takes a copy
            [](std::vector<uint8_t>) { return std::vector<uint8_t>{}; }, "not a VELM cartridge"},
        DamageRow{
            "other file",
            // NOLINTNEXTLINE(performance-unnecessary-value-param): the damage type takes a copy
            [](std::vector<uint8_t>) {
                return std::vector<uint8_t>{'P', 'K', 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
            },
            "not a VELM cartridge"},
        DamageRow{"header cut",
                  [](std::vector<uint8_t> v) {
                      v.resize(12);
                      return v;
                  },
                  "truncated"},
        DamageRow{"payload cut",
                  [](std::vector<uint8_t> v) {
                      v.resize(v.size() - 100);
                      return v;
                  },
                  "truncated"},
        DamageRow{"version 2",
                  [](std::vector<uint8_t> v) {
                      v[11] = 2;
                      return v;
                  },
                  "version 2 is not supported"},
        DamageRow{"bit flipped in data",
                  [](std::vector<uint8_t> v) {
                      v[v.size() - 10] ^= 0x01;
                      return v;
                  },
                  "checksum"},
        DamageRow{"bit flipped in checksum",
                  [](std::vector<uint8_t> v) {
                      v[23] ^= 0x80;
                      return v;
                  },
                  "checksum"},
        DamageRow{"bytes appended",
                  [](std::vector<uint8_t> v) {
                      v.push_back(0);
                      return v;
                  },
                  "after the end"}));

TEST(CartridgeDecode, ChecksummedButInconsistentPayloadIsRefused)
{
    // A payload that passes the checksum may still describe an impossible tape.
    sim::Cartridge c;
    c.position = 5;  // beyond the end of an empty partition
    std::string error;
    EXPECT_FALSE(sim::DecodeCartridge(sim::EncodeCartridge(c), error).has_value());
    EXPECT_THAT(error, ::testing::HasSubstr("position beyond end of data"));
    c.position = 0;
    c.partitions.push_back(sim::Partition{});  // two partitions of the whole tape each
    EXPECT_FALSE(sim::DecodeCartridge(sim::EncodeCartridge(c), error).has_value());
    EXPECT_THAT(error, ::testing::HasSubstr("larger than the tape"));
}

TEST(CartridgeDecode, ReadsAFileWrittenByTheFormatAlone)
{
    // Built by hand from the documented layout, checksum from a standard CRC-32: a blank
    // tape of 2,048,000,000 bytes holding one filemark.
    const std::vector<uint8_t> file = {
        0x56, 0x45, 0x4C, 0x4D, 0x43, 0x41, 0x52, 0x54, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x32, 0x3D, 0xB1, 0x82, 0xE8, 0x00, 0x00, 0x00, 0x00, 0x7A, 0x12,
        0x00, 0x00, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x02, 0x00, 0x06, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x01, 0x00, 0x00, 0x00,
        0x00, 0x7A, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01};
    std::string error;
    const auto c = sim::DecodeCartridge(file, error);
    ASSERT_TRUE(c.has_value()) << error;
    sim::Cartridge expected;
    expected.partitions[0].objects.push_back(sim::TapeObject::Filemark());
    EXPECT_TRUE(*c == expected);
    EXPECT_EQ(sim::EncodeCartridge(expected), file);
}

TEST(CartridgeDecode, HeaderLayoutIsFixed)
{
    const auto bytes = sim::EncodeCartridge(sim::Cartridge{});
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_THAT(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 12),
                ::testing::ElementsAre('V', 'E', 'L', 'M', 'C', 'A', 'R', 'T', 0, 0, 0, 1));
    const uint64_t length = (uint64_t(bytes[16]) << 24) | (uint64_t(bytes[17]) << 16) |
                            (uint64_t(bytes[18]) << 8) | bytes[19];
    EXPECT_EQ(length, bytes.size() - 24);
}

}  // namespace
