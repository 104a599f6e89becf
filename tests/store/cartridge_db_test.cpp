// The cartridge folder against what a user may hand it: each bad case refused with a reason
// before anything is read or written, damaged or impossible indexes left byte for byte as
// they were, anything planted in an index refused before it can run, old cartridge files
// converted once.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/drive.h"
#include "store/cartridge_db.h"
#include "store/index_vfs.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Spit(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class CartridgeDbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/cartridge-db-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        tape_ = (dir_ / "t").string();
        index_ = dir_ / "t" / "index";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A cartridge with one block and a filemark, the tape standing after them.
    void MakeTape()
    {
        sim::Cartridge c = sim::Cartridge::Blank(1000000);
        c.partitions[0].objects = {sim::TapeObject::Block({1, 2, 3}), sim::TapeObject::Filemark()};
        c.position = 2;
        store::CartridgeDb::Create(tape_, c, false, {});
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
    // Changes the index the way someone who knows its page checksums could: through the
    // store's own VFS, with SQLite's defences off.
    void Forge(const std::string& sql)
    {
        sqlite3* db = nullptr;
        const std::string name = "/proc/self/fd/" + std::to_string(Dir()) + "/index";
        ASSERT_EQ(sqlite3_open_v2(name.c_str(), &db, SQLITE_OPEN_READWRITE, store::IndexVfs()),
                  SQLITE_OK);
        sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 0, nullptr);
        char* error = nullptr;
        EXPECT_EQ(sqlite3_exec(db, ("PRAGMA writable_schema = ON;" + sql).c_str(), nullptr, nullptr,
                               &error),
                  SQLITE_OK)
            << (error != nullptr ? error : "") << " in " << sql;
        sqlite3_free(error);
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        close(dir_fd_);
        dir_fd_ = -1;
    }
    int Dir()
    {
        dir_fd_ = open(tape_.c_str(), O_RDONLY | O_DIRECTORY);
        return dir_fd_;
    }

    fs::path dir_;
    std::string tape_;
    fs::path index_;
    int dir_fd_ = -1;
    store::OpenOptions options_{std::chrono::milliseconds(100), {}};
};

TEST_F(CartridgeDbTest, PathsThatAreNoCartridgeAreRefusedUnread)
{
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir_ / "folder");
    Spit(dir_ / "notes", "my notes\n");
    const struct {
        std::string path;
        const char* says;
    } rows[] = {
        {(dir_ / "fifo").string(), "is a FIFO, not a cartridge"},
        {"/dev/zero", "is a character device, not a cartridge"},
        {(dir_ / "folder").string(), "is a folder but no cartridge"},
        {(dir_ / "missing").string(), "no such cartridge"},
        {(dir_ / "notes").string(), "not a VELM cartridge"},
    };
    for (const auto& row : rows) {
        EXPECT_THAT(OpenError(row.path), HasSubstr(row.says)) << row.path;
    }
    EXPECT_EQ(Slurp(dir_ / "notes"), "my notes\n");
}

TEST_F(CartridgeDbTest, DamagedIndexesAreRefusedUnchanged)
{
    MakeTape();
    const std::string good = Slurp(index_);
    std::string otherApp = good;
    otherApp[68] = 'X';  // application_id
    std::string scribbled = good;
    for (size_t i = 1024; i < good.size(); i += 5) {
        scribbled[i] = static_cast<char>(scribbled[i] ^ 0x33);
    }
    const struct {
        std::string bytes;
        const char* says;
    } rows[] = {
        {std::string(1 << 16, 'x'), "damaged"},
        {"", "damaged"},
        {otherApp, "damaged"},  // the header is part of page 1 and its checksum
        {good.substr(0, size_t{2} * 1024), "damaged"},
        {scribbled, "damaged"},
    };
    for (const auto& row : rows) {
        Spit(index_, row.bytes);
        EXPECT_THAT(OpenError(tape_), HasSubstr(row.says)) << row.says;
        EXPECT_EQ(Slurp(index_), row.bytes) << row.says;
    }
}

// Rows no tape could hold and things planted in the index, written with valid page
// checksums: each refused with its reason, nothing of it run, the index left as it was.
TEST_F(CartridgeDbTest, ImpossibleOrPlantedIndexesAreRefusedUnchanged)
{
    const struct {
        const char* sql;
        const char* says;
    } rows[] = {
        {"UPDATE partition SET capacity = 5000000", "partitions larger than the tape"},
        {"UPDATE drive SET position = 3", "position beyond end of data"},
        {"UPDATE drive SET partition = 1", "position beyond end of data"},
        {"UPDATE partition SET end_of_data = 7", "end of data does not match"},
        {"UPDATE partition SET used_bytes = 2", "end of data does not match"},
        {"UPDATE extent SET rank = 3 WHERE addr = 1", "marks counted out of order"},
        {"UPDATE extent SET rank = 'x' WHERE addr = 1", "marks counted out of order"},
        {"UPDATE extent SET count = 'x' WHERE addr = 0", "outside the recorded tape"},
        {"DELETE FROM drive", "record is missing"},
        {"UPDATE extent SET part = 4 WHERE addr = 1", "end of data does not match"},
        {"UPDATE extent SET count = 17592186044416, length = 1048576 WHERE addr = 0",
         "outside the recorded tape"},
        {"UPDATE extent SET offset = 9 WHERE addr = 0", "outside the data file"},
        {"UPDATE extent SET sums = x'00' WHERE addr = 0", "outside the data file"},
        {"UPDATE tape SET data_end = 2", "outside the data file"},
        {"UPDATE tape SET data_end = 9", "data file holds 3 bytes"},
        {"CREATE VIEW v AS SELECT 1", "tables are not the ones of a cartridge"},
        {"DROP TABLE tape; CREATE VIEW tape AS WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL "
         "SELECT n + 1 FROM r) SELECT n AS id, n AS capacity, 0 AS density, 0 AS "
         "write_protected, 0 AS data_end FROM r",
         "tables are not the ones of a cartridge"},
        {"CREATE TRIGGER t AFTER INSERT ON extent BEGIN DELETE FROM partition; END",
         "tables are not the ones of a cartridge"},
        {"CREATE INDEX x ON extent(kind)", "tables are not the ones of a cartridge"},
        {"UPDATE sqlite_schema SET sql = replace(sql, 'NOT NULL', '') WHERE name = 'drive'",
         "tables are not the ones of a cartridge"},
        {"UPDATE sqlite_schema SET sql = replace(sql, 'tape(id', 'tape( id') WHERE name = 'tape'",
         "tables are not the ones of a cartridge"},
        {"UPDATE sqlite_schema SET tbl_name = 'tape' WHERE name = 'extent_at'",
         "damaged cartridge index"},
        {"PRAGMA user_version = 1", "not a VELM cartridge index"},
        {"PRAGMA journal_mode = DELETE", "not in WAL mode"},
    };
    for (const auto& row : rows) {
        fs::remove_all(tape_);
        MakeTape();
        Forge(row.sql);
        const std::string before = Slurp(index_);
        EXPECT_THAT(OpenError(tape_), HasSubstr(row.says)) << row.sql;
        EXPECT_EQ(Slurp(index_), before) << row.sql;
    }
}

TEST_F(CartridgeDbTest, FoldersOfOthersOrOpenToOthersAreRefusedWithTheFix)
{
    MakeTape();
    ASSERT_EQ(chmod(tape_.c_str(), 0770), 0);
    EXPECT_THAT(OpenError(tape_), HasSubstr("fix it with 'chmod go-w " + tape_ + "'"));
    ASSERT_EQ(chmod(tape_.c_str(), 0700), 0);
    fs::create_hard_link(index_, dir_ / "twin");
    EXPECT_THAT(OpenError(tape_), HasSubstr("index has 2 names"));
    fs::remove(dir_ / "twin");
    fs::rename(index_, dir_ / "real");
    fs::create_symlink(dir_ / "real", index_);
    EXPECT_THAT(OpenError(tape_), HasSubstr("index is a symbolic link"));
    fs::remove(index_);
    fs::rename(dir_ / "real", index_);
    fs::create_symlink(tape_, dir_ / "sym");
    EXPECT_EQ(OpenError((dir_ / "sym").string()), "") << "a link to the folder is followed";
}

TEST_F(CartridgeDbTest, ASecondUserWaitsThenIsRefused)
{
    MakeTape();
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
    const std::string oldBytes = Slurp(tape_);
    std::string told;
    {
        store::OpenOptions options{std::chrono::milliseconds(100),
                                   [&](const std::string& text) { told = text; }};
        auto db = store::CartridgeDb::Open(tape_, options);
        EXPECT_THAT(told, HasSubstr("the old file is kept as " + tape_ + ".velmcart-v1"));
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
    EXPECT_TRUE(fs::is_directory(tape_));
    struct stat info {};
    ASSERT_EQ(stat(tape_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    told.clear();
    store::OpenOptions options{std::chrono::milliseconds(100),
                               [&](const std::string& text) { told = text; }};
    EXPECT_NO_THROW(store::CartridgeDb::Open(tape_, options));
    EXPECT_EQ(told, "") << "converted once only";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2)
        << "nothing left beside but the kept file";
}

TEST_F(CartridgeDbTest, AFlippedBitInABlockReadsAsUnreadableNotAsData)
{
    MakeTape();
    std::string data = Slurp(dir_ / "t" / "data");
    ASSERT_EQ(data.size(), 3u);
    data[1] = static_cast<char>(data[1] ^ 0x10);
    Spit(dir_ / "t" / "data", data);
    auto db = store::CartridgeDb::Open(tape_, options_);
    const auto medium = db->Medium();
    uint8_t block[3] = {};
    EXPECT_FALSE(medium->ReadBlock(0, 0, block));
    EXPECT_EQ(medium->ReadBlocks(0, 0, 3, 1, block), 0u);
}

// The conversion decodes an old file exactly as the simulator does: whatever the simulator
// refuses is refused with the same reason, and the old file stays as it was.
TEST_F(CartridgeDbTest, DamagedOldFilesAreRefusedForTheSimulatorsReason)
{
    sim::Cartridge old = sim::Cartridge::Blank(3000000);
    old.partitions[0].objects = {sim::TapeObject::Block(std::vector<uint8_t>(600, 7)),
                                 sim::TapeObject::Filemark()};
    const std::vector<uint8_t> good = sim::EncodeCartridge(old);
    const auto crcOk = [](std::vector<uint8_t> bytes) {
        const uLong crc = crc32_z(0, bytes.data() + 24, bytes.size() - 24);
        for (int i = 0; i < 4; ++i) {
            bytes[20 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        }
        return bytes;
    };
    const size_t objects = 24 + 8 + 1 + 1 + 1 + 8 + 4 + 1 + 4 + 4 + 1 + 16;  // first kind byte
    const std::vector<std::pair<const char*, std::function<std::vector<uint8_t>()>>> cases = {
        {"cut short", [&] { return std::vector<uint8_t>(good.begin(), good.end() - 5); }},
        {"a flipped payload bit",
         [&] {
             auto b = good;
             b[objects + 20] ^= 0x04;
             return b;
         }},
        {"an unknown object kind",
         [&] {
             auto b = good;
             b[objects] = 9;
             return crcOk(b);
         }},
        {"a block longer than the file",
         [&] {
             auto b = good;
             b[objects + 1] = 0x7F;
             return crcOk(b);
         }},
        {"more partitions",
         [&] {
             auto b = good;
             b[objects - 17] = 3;
             return crcOk(b);
         }},
        {"position past the end",
         [&] {
             auto b = good;
             b[24 + 8 + 1 + 1 + 1 + 7] = 5;
             return crcOk(b);
         }},
    };
    for (const auto& [name, make] : cases) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> bytes = make();
        std::string simError;
        ASSERT_FALSE(sim::DecodeCartridge(bytes, simError).has_value());
        Spit(tape_, std::string(bytes.begin(), bytes.end()));
        const std::string error = OpenError(tape_);
        EXPECT_THAT(error, HasSubstr("left as it was"));
        if (simError.rfind("malformed", 0) == 0) {
            EXPECT_THAT(error, HasSubstr(simError));
        }
        EXPECT_EQ(Slurp(tape_), std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
        fs::remove(tape_);
    }
}

// Blocks written one per command grow one row in memory, put into the index when full and at
// each commit; each keeps its own checksum, so one damaged block in the row is the only one
// refused.
TEST_F(CartridgeDbTest, BlocksWrittenOneByOneShareARowAndKeepTheirOwnChecks)
{
    store::CartridgeDb::Create(tape_, sim::Cartridge::Blank(4000000), false, {});
    constexpr uint32_t kLength = 100;
    constexpr uint64_t kCommitAt = 1000;
    constexpr uint64_t kBlocks = kCommitAt + store::kMaxRunBlocks + 6;
    const auto byte = [](uint64_t i) { return static_cast<uint8_t>(i * 7 + 1); };
    {
        auto db = store::CartridgeDb::Open(tape_, options_);
        const auto medium = db->Medium();
        store::DriveState state = db->State();
        for (uint64_t i = 0; i < kBlocks; ++i) {
            const std::vector<uint8_t> block(kLength, byte(i));
            medium->AppendBlocks(0, block.data(), kLength, 1);
            if (i + 1 == kCommitAt) {
                state.position = i + 1;
                db->Commit(state);
            }
        }
        // The open row is asked about before it is committed: the index tells it.
        std::vector<uint8_t> last(kLength);
        EXPECT_TRUE(medium->ReadBlock(0, kBlocks - 1, last.data()));
        EXPECT_EQ(last, std::vector<uint8_t>(kLength, byte(kBlocks - 1)));
        state.position = kBlocks;
        db->Commit(state);
    }
    std::string data = Slurp(dir_ / "t" / "data");
    ASSERT_EQ(data.size(), kBlocks * kLength);
    data[17 * kLength + 3] = static_cast<char>(data[17 * kLength + 3] ^ 0x01);
    Spit(dir_ / "t" / "data", data);
    auto db = store::CartridgeDb::Open(tape_, options_);
    const std::vector<store::ExtentInfo> rows = db->Extents(0);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].count, kCommitAt);
    EXPECT_EQ(rows[1].count, store::kMaxRunBlocks);
    EXPECT_EQ(rows[2].count, 6u);
    const auto medium = db->Medium();
    for (uint64_t i = 0; i < kBlocks; ++i) {
        std::vector<uint8_t> block(kLength);
        EXPECT_EQ(medium->ReadBlock(0, i, block.data()), i != 17) << i;
        if (i != 17) {
            EXPECT_EQ(block, std::vector<uint8_t>(kLength, byte(i))) << i;
        }
    }
    std::vector<uint8_t> run(size_t{20} * kLength, 0xEE);
    EXPECT_EQ(medium->ReadBlocks(0, 10, kLength, 20, run.data()), 7u);
    // Nothing of the damaged block is left where the drive hands blocks out.
    EXPECT_EQ(std::vector<uint8_t>(run.begin() + 7L * kLength, run.begin() + 8L * kLength),
              std::vector<uint8_t>(kLength, 0));
}

// A row still growing in memory when the run gives up goes with it: nothing of it in the
// index, its bytes cut from the data file.
TEST_F(CartridgeDbTest, ARowStillGrowingGoesWithAnAbandonedRun)
{
    store::CartridgeDb::Create(tape_, sim::Cartridge::Blank(1000000), false, {});
    {
        auto db = store::CartridgeDb::Open(tape_, options_);
        const auto medium = db->Medium();
        const std::vector<uint8_t> block(100, 5);
        for (int i = 0; i < 3; ++i) {
            medium->AppendBlocks(0, block.data(), 100, 1);
        }
        db->Abandon();
        EXPECT_TRUE(db->Extents(0).empty());
    }
    auto db = store::CartridgeDb::Open(tape_, options_);
    EXPECT_TRUE(db->Extents(0).empty());
    EXPECT_EQ(Slurp(dir_ / "t" / "data"), "");
}

}  // namespace
