// The cartridge database against the files a user may hand it: each bad case refused with a
// reason before anything is read or written, links and permissions kept, damaged or
// impossible databases left byte for byte as they were, old cartridge files converted once.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/drive.h"
#include "store/cartridge_db.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CartridgeDbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/cartridge-db-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        tape_ = (dir_ / "t").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A cartridge with one block and a filemark, the tape standing after them.
    void MakeTape(const std::string& path)
    {
        sim::Cartridge c = sim::Cartridge::Blank(1000000);
        c.partitions[0].objects = {sim::TapeObject::Block({1, 2, 3}), sim::TapeObject::Filemark()};
        c.position = 2;
        store::CartridgeDb::Create(path, c, false, {});
    }
    std::string OpenError(const std::string& path)
    {
        try {
            store::CartridgeDb::Open(path, options_);
        } catch (const store::StoreError& e) {
            return e.what();
        }
        return "";
    }
    void Sql(const std::string& sql)
    {
        // NOLINTNEXTLINE(cert-env33-c): the test runs fixed commands of its own
        ASSERT_EQ(std::system(("sqlite3 '" + tape_ + "' \"" + sql + "\"").c_str()), 0);
    }

    fs::path dir_;
    std::string tape_;
    store::OpenOptions options_{std::chrono::milliseconds(100), {}};
};

TEST_F(CartridgeDbTest, PathsThatAreNoRegularFileAreRefusedUnread)
{
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir_ / "folder");
    const struct {
        std::string path;
        const char* says;
    } rows[] = {
        {(dir_ / "fifo").string(), "is a FIFO, not a cartridge file"},
        {"/dev/zero", "is a character device, not a cartridge file"},
        {(dir_ / "folder").string(), "is a directory"},
        {(dir_ / "missing").string(), "no such cartridge file"},
    };
    for (const auto& row : rows) {
        EXPECT_THAT(OpenError(row.path), HasSubstr(row.says)) << row.path;
    }
}

TEST_F(CartridgeDbTest, FilesThatAreNoCartridgeAreRefusedUnchanged)
{
    MakeTape(tape_);
    const std::string good = Slurp(tape_);
    std::string otherApp = good;
    otherApp[68] = 'X';  // application_id
    std::string otherVersion = good;
    otherVersion[63] = 9;          // user_version
    std::string scribbled = good;  // the pages of the tape, partition and drive records
    for (size_t i = 65536; i < size_t{4} * 65536; i += 5) {
        scribbled[i] = static_cast<char>(scribbled[i] ^ 0x33);
    }
    const struct {
        std::string bytes;
        const char* says;
    } rows[] = {
        {std::string(1 << 20, 'x'), "not a VELM cartridge file"},
        {"", "not a VELM cartridge file"},
        {otherApp, "not a VELM cartridge"},
        {otherVersion, "cartridge store version 9 is not supported"},
        {good.substr(0, size_t{2} * 65536), "damaged"},
        {scribbled, "damaged"},
        {"VELMCART\1\2\3", "cartridge file"},  // an old file cut short
    };
    for (const auto& row : rows) {
        std::ofstream(tape_, std::ios::binary | std::ios::trunc) << row.bytes;
        const std::string error = OpenError(tape_);
        EXPECT_THAT(error, HasSubstr(row.says)) << row.says;
        EXPECT_EQ(Slurp(tape_), row.bytes) << row.says;
        EXPECT_FALSE(fs::exists(tape_ + "-wal") || fs::exists(tape_ + store::kOldFileSuffix));
    }
}

TEST_F(CartridgeDbTest, ImpossibleContentsAreRefusedUnchanged)
{
    const struct {
        const char* sql;
        const char* says;
    } rows[] = {
        {"UPDATE partition SET capacity = 5000000", "partitions larger than the tape"},
        {"UPDATE drive SET position = 3", "position beyond end of data"},
        {"UPDATE drive SET partition = 1", "position beyond end of data"},
        {"UPDATE partition SET end_of_data = 7", "end of data does not match"},
        {"DELETE FROM drive", "record is missing"},
        {"UPDATE extent SET part = 4 WHERE addr = 1", "end of data does not match"},
    };
    for (const auto& row : rows) {
        fs::remove(tape_);
        MakeTape(tape_);
        Sql(row.sql);
        const std::string before = Slurp(tape_);
        EXPECT_THAT(OpenError(tape_), HasSubstr(row.says)) << row.sql;
        EXPECT_EQ(Slurp(tape_), before) << row.sql;
    }
}

TEST_F(CartridgeDbTest, LinksPermissionsAndOwnerStay)
{
    MakeTape(tape_);
    ASSERT_EQ(chmod(tape_.c_str(), 0640), 0);
    fs::create_symlink(tape_, dir_ / "sym");
    fs::create_hard_link(tape_, dir_ / "hard");
    for (const char* name : {"sym", "hard"}) {
        auto db = store::CartridgeDb::Open((dir_ / name).string(), options_);
        auto medium = db->Medium();
        medium->AppendMarks(0, sim::ObjectKind::Setmark, 1);
        store::DriveState state = db->State();
        state.position = medium->EndOfData(0);
        db->Commit(state);
    }
    EXPECT_TRUE(fs::is_symlink(dir_ / "sym"));
    struct stat a {
    }, b{};
    ASSERT_EQ(stat(tape_.c_str(), &a), 0);
    ASSERT_EQ(stat((dir_ / "hard").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_mode & 07777, 0640u);
    auto db = store::CartridgeDb::Open(tape_, options_);
    EXPECT_EQ(db->Medium()->EndOfData(0), 4u) << "both runs landed in the one file";
    EXPECT_EQ(db->State().position, 4u);
}

TEST_F(CartridgeDbTest, ASecondUserWaitsThenIsRefused)
{
    MakeTape(tape_);
    auto first = store::CartridgeDb::Open(tape_, options_);
    std::string told;
    store::OpenOptions options{std::chrono::milliseconds(200),
                               [&](const std::string& text) { told = text; }};
    try {
        store::CartridgeDb::Open(tape_, options);
        ADD_FAILURE() << "opened a busy cartridge";
    } catch (const store::StoreError& e) {
        EXPECT_EQ(e.reason(), store::StoreError::Reason::Busy);
        EXPECT_THAT(e.what(), HasSubstr("cartridge is busy"));
    }
    EXPECT_THAT(told, HasSubstr("waiting"));
    first.reset();
    EXPECT_NO_THROW(store::CartridgeDb::Open(tape_, options));
}

TEST_F(CartridgeDbTest, OldCartridgeFilesAreConvertedOnce)
{
    sim::Cartridge old = sim::Cartridge::Blank(3000000);
    old.partitions = {sim::Partition{1000000, {}}, sim::Partition{2000000, {}}};
    old.partitions[1].objects = {sim::TapeObject::Block(std::vector<uint8_t>(600, 7)),
                                 sim::TapeObject::Block(std::vector<uint8_t>(600, 8)),
                                 sim::TapeObject::Setmark(), sim::TapeObject::Filemark()};
    old.partition = 1;
    old.position = 3;
    old.settings.blockLength = 600;
    old.writeProtected = true;
    std::string error;
    ASSERT_TRUE(sim::SaveCartridge(old, tape_, error)) << error;
    ASSERT_EQ(chmod(tape_.c_str(), 0604), 0);
    const std::string oldBytes = Slurp(tape_);
    std::string told;
    {
        store::OpenOptions options{std::chrono::milliseconds(100),
                                   [&](const std::string& text) { told = text; }};
        auto db = store::CartridgeDb::Open(tape_, options);
        EXPECT_THAT(told, HasSubstr("converted"));
        EXPECT_EQ(db->State().partition, 1u);
        EXPECT_EQ(db->State().position, 3u);
        EXPECT_EQ(db->State().settings.blockLength, 600u);
        const auto medium = db->Medium();
        sim::Cartridge back = sim::ReadWholeTape(*medium);
        back.partition = 1;
        back.position = 3;
        back.settings = old.settings;
        EXPECT_TRUE(back == old);
    }
    EXPECT_EQ(Slurp(tape_ + store::kOldFileSuffix), oldBytes);
    struct stat info {};
    ASSERT_EQ(stat(tape_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);
    told.clear();
    store::OpenOptions options{std::chrono::milliseconds(100),
                               [&](const std::string& text) { told = text; }};
    EXPECT_NO_THROW(store::CartridgeDb::Open(tape_, options));
    EXPECT_EQ(told, "") << "converted once only";
}

}  // namespace
