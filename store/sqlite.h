// A thin layer over SQLite for the cartridge store: a connection and prepared statements that
// throw StoreError with SQLite's own words on failure, so no error code goes unchecked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace store {

// A cartridge that cannot be opened or used, with the reason (never the path, so the tool
// can print `velmtape: FILE: <what>`).
class StoreError : public std::runtime_error {
public:
    enum class Reason {
        Other,
        Missing,  // no such file
        Busy,     // another velmtape holds it beyond the wait
        Damaged,  // SQLite found the database damaged, or its contents are impossible
        Refused,  // a cartridge this user must not use as it is (owner, permissions, links)
    };
    explicit StoreError(const std::string& what, Reason reason = Reason::Other)
        : std::runtime_error(what), reason_(reason)
    {
    }
    Reason reason() const { return reason_; }

private:
    Reason reason_;
};

class Statement;

class Database {
public:
    // Opens an existing file (never creating it, never following a symbolic link) or, with
    // `create`, makes it when missing, through the VFS named `vfs` (SQLite's default when
    // null). Throws StoreError.
    Database(const std::string& path, bool create, const char* vfs = nullptr);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void Exec(const std::string& sql);
    int64_t QueryInt(const std::string& sql);  // the first column of the first row
    // Nothing in a file handed to us runs: no triggers, no views, no SQL functions from its
    // schema, no writes to the schema itself. Throws StoreError when SQLite cannot do this.
    void Harden();
    sqlite3* handle() { return db_; }
    [[noreturn]] void Fail(int code, const std::string& doing);

private:
    sqlite3* db_ = nullptr;
};

class Statement {
public:
    Statement(Database& db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, int64_t value);
    Statement& BindBlob(int index, const void* data, size_t length);
    // Steps once: true with a row to read (valid until the next Step, Bind or Reset), false
    // when done, the statement then reset for the next run. Binding resets a running one.
    bool Step();
    void Run();  // steps to the end, expecting no rows
    int64_t Int(int column) const;
    const uint8_t* Blob(int column) const;
    size_t Bytes(int column) const;
    bool IsNull(int column) const;
    std::string Text(int column) const;
    void Reset();

private:
    Database& db_;
    sqlite3_stmt* stmt_ = nullptr;
    bool active_ = false;  // stepped to a row and not reset since
};

// A statement prepared when first used: for the many questions a cartridge's tape may be
// asked and one command seldom is (each prepared statement is SQL parsed at every run).
// `sql` must outlive it (a literal).
class LazyStatement {
public:
    LazyStatement(Database& db, const char* sql) : db_(db), sql_(sql) {}
    Statement* operator->() { return &Get(); }
    Statement& operator*() { return Get(); }

private:
    Statement& Get()
    {
        if (!statement_) {
            statement_ = std::make_unique<Statement>(db_, sql_);
        }
        return *statement_;
    }
    Database& db_;
    const char* sql_;
    std::unique_ptr<Statement> statement_;
};

// Each object of a database's schema as sqlite_schema holds it (type, name, table, SQL), by
// name: what a file's schema is compared by, before any other query runs on it.
using SchemaRow = std::tuple<std::string, std::string, std::string, std::string>;
std::vector<SchemaRow> SchemaOf(Database& db);

}  // namespace store
