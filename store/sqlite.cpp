// SQLite connection and statements for the cartridge store; every failure becomes a
// StoreError naming what was being done and SQLite's message.
#include "store/sqlite.h"

#include <sqlite3.h>

#include <cstring>

namespace store {

namespace {

// SQLite's words, with the system's own reason when a file operation failed: "disk I/O
// error" alone does not tell a full disk from a file-size limit.
std::string Message(sqlite3* db, int code)
{
    std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    const int system = db != nullptr ? sqlite3_system_errno(db) : 0;
    const int primary = code & 0xFF;
    if (system != 0 &&
        (primary == SQLITE_IOERR || primary == SQLITE_FULL || primary == SQLITE_CANTOPEN)) {
        message += std::string(" (") + std::strerror(system) + ")";
    }
    return message;
}

StoreError::Reason ReasonOf(int code)
{
    const int primary = code & 0xFF;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_FORMAT ||
        code == SQLITE_IOERR_DATA) {
        return StoreError::Reason::Damaged;
    }
    return primary == SQLITE_BUSY ? StoreError::Reason::Busy : StoreError::Reason::Other;
}

std::string Damage(int code, const std::string& message)
{
    return code == SQLITE_IOERR_DATA
               ? "damaged cartridge index: a page of it does not match its checksum"
               : "damaged cartridge index: " + message;
}

}  // namespace

Database::Database(const std::string& path, bool create, const char* vfs)
{
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX |
                      (create ? SQLITE_OPEN_CREATE : 0);
    const int code = sqlite3_open_v2(path.c_str(), &db_, flags, vfs);
    if (code != SQLITE_OK) {
        const int detail = db_ != nullptr ? sqlite3_extended_errcode(db_) : code;
        const std::string message = Message(db_, code);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        if (ReasonOf(detail) == StoreError::Reason::Damaged) {
            throw StoreError(Damage(detail, message), StoreError::Reason::Damaged);
        }
        throw StoreError("cannot open the cartridge index: " + message, ReasonOf(detail));
    }
    sqlite3_extended_result_codes(db_, 1);
}

Database::~Database()
{
    // An open transaction is rolled back: only what was committed stays.
    sqlite3_close_v2(db_);
}

void Database::Fail(int code, const std::string& doing)
{
    const StoreError::Reason reason = ReasonOf(code);
    if (reason == StoreError::Reason::Damaged) {
        throw StoreError(Damage(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_)), reason);
    }
    throw StoreError(doing + ": " + Message(db_, code), reason);
}

void Database::Harden()
{
    for (const auto& [option, value] :
         {std::pair{SQLITE_DBCONFIG_DEFENSIVE, 1}, std::pair{SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0},
          std::pair{SQLITE_DBCONFIG_ENABLE_TRIGGER, 0},
          std::pair{SQLITE_DBCONFIG_ENABLE_VIEW, 0}}) {
        int set = -1;
        if (sqlite3_db_config(db_, option, value, &set) != SQLITE_OK || set != value) {
            throw StoreError("the SQLite library cannot keep a cartridge's SQL from running");
        }
    }
}

void Database::Exec(const std::string& sql)
{
    const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        Fail(code, sql);
    }
}

int64_t Database::QueryInt(const std::string& sql)
{
    Statement statement(*this, sql.c_str());
    if (!statement.Step()) {
        throw StoreError(sql + ": no answer", StoreError::Reason::Damaged);
    }
    return statement.Int(0);
}

Statement::Statement(Database& db, const char* sql) : db_(db)
{
    const int code =
        sqlite3_prepare_v3(db.handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    if (code != SQLITE_OK) {
        db.Fail(code, "cartridge database");
    }
}

Statement::~Statement()
{
    sqlite3_finalize(stmt_);
}

void Statement::Reset()
{
    sqlite3_reset(stmt_);
    active_ = false;
}

Statement& Statement::Bind(int index, int64_t value)
{
    if (active_) {
        Reset();
    }
    const int code = sqlite3_bind_int64(stmt_, index, value);
    if (code != SQLITE_OK) {
        db_.Fail(code, "cartridge database");
    }
    return *this;
}

Statement& Statement::BindBlob(int index, const void* data, size_t length)
{
    if (active_) {
        Reset();
    }
    const int code = sqlite3_bind_blob64(stmt_, index, data, length, SQLITE_STATIC);
    if (code != SQLITE_OK) {
        db_.Fail(code, "cartridge database");
    }
    return *this;
}

bool Statement::Step()
{
    const int code = sqlite3_step(stmt_);
    if (code == SQLITE_ROW) {
        active_ = true;
        return true;
    }
    Reset();
    if (code != SQLITE_DONE) {
        db_.Fail(code, "cartridge database");
    }
    return false;
}

void Statement::Run()
{
    while (Step()) {
    }
}

int64_t Statement::Int(int column) const
{
    return sqlite3_column_int64(stmt_, column);
}

const uint8_t* Statement::Blob(int column) const
{
    return static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
}

size_t Statement::Bytes(int column) const
{
    return static_cast<size_t>(sqlite3_column_bytes(stmt_, column));
}

std::string Statement::Text(int column) const
{
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

bool Statement::IsNull(int column) const
{
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::vector<SchemaRow> SchemaOf(Database& db)
{
    Statement rows(db, "SELECT type, name, tbl_name, sql FROM sqlite_schema ORDER BY name");
    std::vector<SchemaRow> schema;
    while (rows.Step()) {
        schema.emplace_back(rows.Text(0), rows.Text(1), rows.Text(2), rows.Text(3));
    }
    return schema;
}

}  // namespace store
