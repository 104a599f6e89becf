// The store's SQLite wrapper: a hardened connection runs nothing a file holds, a lazy
// statement is prepared only when used, and a schema reads back as sqlite_schema holds it.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "store/sqlite.h"

namespace {

namespace fs = std::filesystem;

TEST(Sqlite, AHardenedConnectionRunsNothingTheFileHolds)
{
    char pattern[] = "/tmp/velmtape-sqlite-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    const std::string path = (dir / "planted.db").string();
    {
        store::Database maker(path, true);
        maker.Exec(
            "CREATE TABLE t(x); CREATE TABLE log(y); "
            "CREATE TRIGGER tr AFTER INSERT ON t BEGIN INSERT INTO log VALUES (1); END; "
            "CREATE VIEW v AS SELECT x FROM t");
        maker.Exec("INSERT INTO t VALUES (1)");
        ASSERT_EQ(maker.QueryInt("SELECT count(*) FROM log"), 1) << "the trigger is live";
    }
    {
        store::Database db(path, false);
        db.Harden();
        db.Exec("INSERT INTO t VALUES (2)");
        EXPECT_EQ(db.QueryInt("SELECT count(*) FROM log"), 1) << "the planted trigger ran";
        for (const char* refused :
             {"SELECT * FROM v",
              "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = 'x' WHERE name = 't'"}) {
            EXPECT_THROW(db.Exec(refused), store::StoreError) << refused;
        }
    }
    fs::remove_all(dir);
}

TEST(Sqlite, ALazyStatementIsPreparedWhenFirstUsed)
{
    store::Database db(":memory:", true);
    // Its table does not exist yet: preparing now would fail.
    store::LazyStatement later(db, "SELECT x FROM made_after");
    store::LazyStatement broken(db, "SELEC 1");
    db.Exec("CREATE TABLE made_after(x); INSERT INTO made_after VALUES (7)");
    ASSERT_TRUE(later->Step());
    EXPECT_EQ(later->Int(0), 7);
    EXPECT_FALSE(later->Step());
    EXPECT_THROW(broken->Step(), store::StoreError);
}

TEST(Sqlite, ASchemaReadsBackByNameWithItsTableAndText)
{
    store::Database db(":memory:", true);
    db.Exec("CREATE TABLE b(x);\nCREATE INDEX a ON b(x)");
    const std::vector<store::SchemaRow> expected = {
        {"index", "a", "b", "CREATE INDEX a ON b(x)"},
        {"table", "b", "b", "CREATE TABLE b(x)"},
    };
    EXPECT_EQ(store::SchemaOf(db), expected);
}

}  // namespace
