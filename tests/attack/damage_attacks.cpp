// Attacks on the cartridge's bytes: files that are not ours put in its place. Whatever is
// found is refused with the reason and left exactly as it was; nothing crashes or hangs.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include "attack.h"

namespace attack {
namespace {

// Every file of the cartridge with its bytes, to prove a refusal changed nothing.
std::vector<std::pair<fs::path, std::string>> Snapshot(const Case& c)
{
    std::vector<std::pair<fs::path, std::string>> files;
    for (const fs::path& file : c.CartridgeFiles()) {
        files.emplace_back(file, Slurp(file));
    }
    return files;
}

void ExpectRefusedUnchanged(Case& c)
{
    const auto before = Snapshot(c);
    for (const char* command : {"status", "weof", "map", "rewind"}) {
        const Ended ended = c.Run({command});
        EXPECT_EQ(ended.exit, 1) << command << " accepted a foreign file: " << ended.out;
        ExpectOnlyOwnLines(ended);
    }
    const Ended again = c.Run({"new", "--force"});
    EXPECT_EQ(again.exit, 1) << "new --force replaced a foreign file";
    EXPECT_EQ(Snapshot(c), before) << "a refused file was changed";
}

// An SQLite database of someone else's in each of the cartridge's files.
std::string ForeignDatabase(Case& c)
{
    c.Blank();
    const std::vector<fs::path> files = c.CartridgeFiles();
    const fs::path victim = files[c.Below(files.size())];
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

}  // namespace

std::vector<AttackClass> DamageAttacks()
{
    return {
        {"foreign-database", ForeignDatabase, 2},
    };
}

}  // namespace attack
