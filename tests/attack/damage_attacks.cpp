// Attacks on the cartridge's bytes: bit flips and truncations anywhere in its files, a foreign
// database in place of its index, and an index rewritten by someone who knows its format
// (through the store's own way of writing it, page checksums and all) with impossible rows or
// planted views, triggers, tables and indexes. Data never comes back different with exit 0;
// what is refused is left exactly as it was; nothing crashes, hangs or runs.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include "attack.h"
#include "store/index_vfs.h"

namespace attack {
namespace {

// Every file of the cartridge that holds bytes, with its bytes, to prove a refusal changed
// nothing (SQLite may make its empty log beside the index as it opens it).
std::vector<std::pair<fs::path, std::string>> Snapshot(const Case& c)
{
    std::vector<std::pair<fs::path, std::string>> files;
    for (const fs::path& file : c.CartridgeFiles()) {
        if (fs::file_size(file) > 0) {
            files.emplace_back(file, Slurp(file));
        }
    }
    return files;
}

// Two tape files of random sizes, each ended by a filemark.
std::vector<std::string> TwoTapeFiles(Case& c)
{
    c.Blank();
    std::vector<std::string> files;
    for (const char* name : {"a", "b"}) {
        files.push_back(Slurp(c.Data(name, 1000 + c.Below(600000))));
        c.Ok({"write", name});
        c.Ok({"weof"});
    }
    return files;
}

// Whatever the damage, each tape file reads back whole and right, or the read fails; the tool
// ends by itself with a status of its own.
void ExpectNothingForged(Case& c, const std::vector<std::string>& files)
{
    const Ended status = c.Run({"status"});
    EXPECT_LT(status.exit, 128) << "status died of a signal";
    if (status.exit != 0) {
        return;
    }
    EXPECT_LT(c.Run({"rewind"}).exit, 128);
    for (size_t i = 0; i < files.size(); ++i) {
        const fs::path back = c.Outside("back");
        fs::remove(back);
        const Ended read = c.Run({"read", back.string()});
        EXPECT_LT(read.exit, 128) << "read died of a signal";
        EXPECT_TRUE(read.exit != 0 || Slurp(back) == files[i])
            << "tape file " << i << " came back different with exit 0";
        if (read.exit != 0) {
            c.Run({"fsf", "1"});  // past the damage, as a user would go on
        }
    }
}

std::vector<fs::path> NonEmptyFiles(const Case& c)
{
    std::vector<fs::path> files;
    for (const fs::path& file : c.CartridgeFiles()) {
        if (fs::file_size(file) > 0) {
            files.push_back(file);
        }
    }
    return files;
}

std::string BitFlips(Case& c)
{
    const std::vector<std::string> files = TwoTapeFiles(c);
    const std::vector<fs::path> targets = NonEmptyFiles(c);
    const fs::path& target = targets[c.Below(targets.size())];
    std::string bytes = Slurp(target);
    const size_t at = c.Below(bytes.size());
    bytes[at] = static_cast<char>(bytes[at] ^ (1 << c.Below(8)));
    Spit(target, bytes);
    SCOPED_TRACE(target.filename().string() + " byte " + std::to_string(at));
    ExpectNothingForged(c, files);
    return "";
}

std::string Truncations(Case& c)
{
    const std::vector<std::string> files = TwoTapeFiles(c);
    const std::vector<fs::path> targets = NonEmptyFiles(c);
    const fs::path& target = targets[c.Below(targets.size())];
    const uint64_t length = c.Below(fs::file_size(target));
    fs::resize_file(target, length);
    SCOPED_TRACE(target.filename().string() + " cut to " + std::to_string(length));
    ExpectNothingForged(c, files);
    return "";
}

void ExpectRefusedUnchanged(Case& c)
{
    const auto before = Snapshot(c);
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"status"}, {"weof"}, {"map"}, {"rewind"}, {"write", "a"}}) {
        const Ended ended = c.Run(words);
        EXPECT_EQ(ended.exit, 1) << words[0] << " accepted it: " << ended.out;
        ExpectOnlyOwnLines(ended);
    }
    EXPECT_EQ(Snapshot(c), before) << "a refused cartridge was changed";
}

// The cartridge's SQLite database (its index).
fs::path Database(const Case& c)
{
    for (const fs::path& file : c.CartridgeFiles()) {
        if (Slurp(file).rfind(std::string("SQLite format 3\0", 16), 0) == 0) {
            return file;
        }
    }
    return {};
}

// An SQLite database of someone else's in place of the cartridge's.
std::string ForeignDatabase(Case& c)
{
    TwoTapeFiles(c);
    const fs::path victim = Database(c);
    fs::remove(victim);
    sqlite3* db = nullptr;
    sqlite3_open(victim.c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE tape(id, capacity, density, write_protected);"
                 "INSERT INTO tape VALUES (1, 1000, 0, 0);"
                 "CREATE TABLE notes(text); INSERT INTO notes VALUES ('mine');",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ExpectRefusedUnchanged(c);
    return "";
}

// Runs `sql` on the cartridge's index as the store itself writes it; false when it failed.
bool Forge(const Case& c, const std::string& sql, std::string& error)
{
    const fs::path index = Database(c);
    sqlite3* db = nullptr;
    // The store's way to the file, so every page it writes carries a good checksum.
    const int opened =
        sqlite3_open_v2(index.c_str(), &db, SQLITE_OPEN_READWRITE, store::IndexVfs());
    char* message = nullptr;
    const int done = opened == SQLITE_OK
                         ? sqlite3_exec(db, ("PRAGMA wal_autocheckpoint = 0;" + sql).c_str(),
                                        nullptr, nullptr, &message)
                         : opened;
    if (done == SQLITE_OK) {
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    }
    error = message != nullptr ? message : sqlite3_errstr(done);
    sqlite3_free(message);
    sqlite3_close(db);
    return done == SQLITE_OK;
}

// Rows no tape could hold, each written with valid page checksums.
const std::vector<const char*> kImpossibleRows = {
    "UPDATE tape SET capacity = -1",
    "UPDATE tape SET data_end = data_end + 1000000",
    "UPDATE tape SET data_end = 5",
    "UPDATE partition SET end_of_data = end_of_data + 5",
    "UPDATE partition SET used_bytes = capacity + 1",
    "INSERT INTO partition VALUES (5, 1, 0, 0)",
    "UPDATE drive SET position = 1000000000",
    "UPDATE drive SET block_length = 99999999",
    "UPDATE drive SET partition = 7",
    "DELETE FROM drive",
    "UPDATE extent SET count = 17592186044416, length = 1048576 WHERE kind = 0",
    "UPDATE extent SET count = count + 1 WHERE kind = 0",
    "UPDATE extent SET offset = -5 WHERE kind = 0",
    "UPDATE extent SET offset = offset + 1 WHERE kind = 0",
    "UPDATE extent SET length = length + 1 WHERE kind = 0",
    "UPDATE extent SET length = 20000000 WHERE kind = 0",
    "UPDATE extent SET kind = 7",
    "UPDATE extent SET rank = 99 WHERE kind = 1",
    "UPDATE extent SET sums = x'00'",
    "UPDATE extent SET addr = addr + 1 WHERE id = (SELECT max(id) FROM extent)",
    "UPDATE extent SET part = 3",
};

std::string ImpossibleRows(Case& c)
{
    TwoTapeFiles(c);
    const char* row = kImpossibleRows[c.Below(kImpossibleRows.size())];
    SCOPED_TRACE(row);
    std::string error;
    EXPECT_TRUE(Forge(c, row, error)) << error;
    ExpectRefusedUnchanged(c);
    return "";
}

// Things planted in the index's schema: none may run, and the index is refused.
const std::vector<const char*> kPlanted = {
    "CREATE VIEW v AS SELECT 1",
    "CREATE TRIGGER t AFTER INSERT ON extent BEGIN DELETE FROM extent; END",
    "CREATE TRIGGER t BEFORE UPDATE ON drive BEGIN UPDATE tape SET capacity = 1; END",
    "CREATE TABLE extra(x); INSERT INTO extra VALUES (1)",
    "CREATE INDEX extra_i ON extent(kind, length)",
    "ALTER TABLE extent RENAME TO extent_old; CREATE VIEW extent AS SELECT * FROM extent_old",
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one statement in three pieces
    "ALTER TABLE tape RENAME TO tape_old; CREATE VIEW tape AS WITH RECURSIVE r(i) AS "
    "(SELECT 1 UNION ALL SELECT i + 1 FROM r) SELECT 1 AS id, i AS capacity, 0 AS density, "
    "0 AS write_protected, 0 AS data_end FROM r",
};

std::string PlantedSchema(Case& c)
{
    TwoTapeFiles(c);
    const char* planted = kPlanted[c.Below(kPlanted.size())];
    SCOPED_TRACE(planted);
    std::string error;
    EXPECT_TRUE(Forge(c, std::string("PRAGMA writable_schema = OFF;") + planted, error)) << error;
    ExpectRefusedUnchanged(c);
    return "";
}

}  // namespace

std::vector<AttackClass> DamageAttacks()
{
    return {
        {"bit-flips", BitFlips, 6},
        {"truncations", Truncations, 4},
        {"foreign-database", ForeignDatabase, 1},
        {"impossible-rows", ImpossibleRows, 6},
        {"planted-schema", PlantedSchema, 3},
    };
}

}  // namespace attack
