#include "app/DeviceStore.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

// How long an operation waits for another connection's lock before it fails
// with "database is locked".
constexpr int BUSY_TIMEOUT_MS = 1000;

const char* const READY_TEXT = "就绪";

const char* const CREATE_TABLE = "CREATE TABLE LiveData(Name VARCHAR(30), UID VARCHAR(30), PASSWORD VARCHAR(50))";
const char* const INSERT_SLOT = "INSERT INTO LiveData(Name,UID,PASSWORD) VALUES('', '','')";

struct DbClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalize {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalize>;

Stmt Prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    return Stmt(stmt);
}

// Number of characters of a UTF-8 text (continuation bytes are not counted).
size_t CountUtf8Chars(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) {
            ++n;
        }
    }
    return n;
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    int bytes = sqlite3_column_bytes(stmt, column);
    return text ? std::string(text, static_cast<size_t>(bytes)) : std::string();
}

} // namespace

DeviceStore::DeviceStore(std::string path) : m_path(std::move(path)) {}

std::string DeviceStore::KnownDevicesPath() const {
    std::error_code ec;
    const std::filesystem::path store = std::filesystem::absolute(m_path, ec);
    return ((ec ? std::filesystem::path(m_path) : store).parent_path() / "known_devices").string();
}

int DeviceStore::Fail(sqlite3* db) {
    m_lastError = m_path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    return -1;
}

int DeviceStore::Fail(const std::string& text) {
    m_lastError = m_path + ": " + text;
    return -1;
}

int DeviceStore::Open(sqlite3*& db) {
    // Never create here: a missing file is an error outside Load.
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(m_path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        std::string text = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        sqlite3_close_v2(raw);
        db = nullptr;
        return Fail(text);
    }
    sqlite3_busy_timeout(raw, BUSY_TIMEOUT_MS);
    db = raw;
    return 0;
}

int DeviceStore::Create() {
    // Claim the name exclusively first, so that a file someone else created in
    // the meantime is never touched, and only a file made here is removed again.
    std::FILE* file = std::fopen(m_path.c_str(), "wx");
    if (!file) {
        return Fail(std::string("cannot create the file: ") + std::strerror(errno));
    }
    std::fclose(file);

    sqlite3* raw = nullptr;
    int result = Open(raw);
    Db db(raw);
    if (result == 0) {
        // One transaction: the table with its 16 slots exists completely or not at all.
        bool ok = sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
                  sqlite3_exec(db.get(), CREATE_TABLE, nullptr, nullptr, nullptr) == SQLITE_OK;
        for (int i = 0; ok && i < SLOT_COUNT; ++i) {
            ok = sqlite3_exec(db.get(), INSERT_SLOT, nullptr, nullptr, nullptr) == SQLITE_OK;
        }
        ok = ok && sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!ok) {
            result = Fail(db.get());
            sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    db.reset();
    if (result != 0) {
        // Let the next start try again rather than find a half-made file.
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
    }
    return result;
}

int DeviceStore::Load(int rows, const CellWriter& setCell) {
    m_lastError.clear();
    std::error_code ec;
    // symlink_status: a dangling link or anything else under that name counts
    // as existing, so creation never writes through it.
    if (std::filesystem::symlink_status(m_path, ec).type() == std::filesystem::file_type::not_found) {
        return Create();
    }

    sqlite3* raw = nullptr;
    if (Open(raw) != 0) {
        return -1;
    }
    Db db(raw);
    Stmt stmt = Prepare(db.get(), "SELECT UID FROM LiveData ORDER BY rowid LIMIT ?1");
    if (!stmt) {
        return Fail(db.get());
    }
    sqlite3_bind_int(stmt.get(), 1, rows < 0 ? 0 : rows); // a negative LIMIT would mean all rows
    int row = 0;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        if (sqlite3_column_type(stmt.get(), 0) != SQLITE_NULL) {
            std::string uid = ColumnText(stmt.get(), 0);
            std::string status = uid.empty() ? std::string() : std::string(READY_TEXT);
            setCell(row, 0, uid);
            for (int column = 1; column <= 3; ++column) {
                setCell(row, column, status);
            }
        }
        ++row;
    }
    if (rc != SQLITE_DONE) {
        return Fail(db.get());
    }
    return 0;
}

int DeviceStore::WriteSlot(int slot, const std::string* uid, const std::string& password) {
    m_lastError.clear();
    if (slot < 0) {
        return Fail("there is no slot " + std::to_string(slot));
    }
    if (uid && CountUtf8Chars(*uid) > static_cast<size_t>(UID_MAX_CHARS)) {
        return Fail("the UID \"" + *uid + "\" is too long: the UID field holds at most " +
                    std::to_string(UID_MAX_CHARS) + " characters");
    }
    if (CountUtf8Chars(password) > static_cast<size_t>(PASSWORD_MAX_CHARS) ||
        password.size() > static_cast<size_t>(PASSWORD_MAX_BYTES)) {
        return Fail("the password is too long: it holds at most " + std::to_string(PASSWORD_MAX_CHARS) +
                    " characters and " + std::to_string(PASSWORD_MAX_BYTES) + " bytes");
    }

    sqlite3* raw = nullptr;
    if (Open(raw) != 0) {
        return -1;
    }
    Db db(raw);
    Stmt stmt = Prepare(db.get(), "UPDATE LiveData SET UID = ?1, PASSWORD = ?3 WHERE rowid = "
                                  "(SELECT rowid FROM LiveData ORDER BY rowid LIMIT 1 OFFSET ?2)");
    if (!stmt) {
        return Fail(db.get());
    }
    if (uid) {
        sqlite3_bind_text(stmt.get(), 1, uid->data(), static_cast<int>(uid->size()), SQLITE_TRANSIENT);
    } else {
        sqlite3_bind_null(stmt.get(), 1);
    }
    sqlite3_bind_int(stmt.get(), 2, slot);
    sqlite3_bind_text(stmt.get(), 3, password.data(), static_cast<int>(password.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(stmt.get()) != SQLITE_DONE) {
        return Fail(db.get());
    }
    if (sqlite3_changes(db.get()) == 0) {
        return Fail("table LiveData has no record for slot " + std::to_string(slot) + " (fewer than " +
                    std::to_string(slot + 1) + " records)");
    }
    return 0;
}

int DeviceStore::Assign(int slot, const std::string& uid, const std::string& password) {
    return WriteSlot(slot, &uid, password);
}

int DeviceStore::Free(int slot) {
    return WriteSlot(slot, nullptr, {});
}

int DeviceStore::ReadSlot(int slot, std::optional<std::string>& uid, std::string* password) {
    m_lastError.clear();
    uid.reset();
    if (password) {
        password->clear();
    }
    if (slot < 0) {
        return Fail("there is no slot " + std::to_string(slot));
    }
    sqlite3* raw = nullptr;
    if (Open(raw) != 0) {
        return -1;
    }
    Db db(raw);
    Stmt stmt = Prepare(db.get(), "SELECT UID, PASSWORD FROM LiveData ORDER BY rowid LIMIT 1 OFFSET ?1");
    if (!stmt) {
        return Fail(db.get());
    }
    sqlite3_bind_int(stmt.get(), 1, slot);
    int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE) {
        return Fail("table LiveData has no record for slot " + std::to_string(slot) + " (fewer than " +
                    std::to_string(slot + 1) + " records)");
    }
    if (rc != SQLITE_ROW) {
        return Fail(db.get());
    }
    if (sqlite3_column_type(stmt.get(), 0) != SQLITE_NULL) {
        uid = ColumnText(stmt.get(), 0);
    }
    if (password && sqlite3_column_type(stmt.get(), 1) != SQLITE_NULL) {
        *password = ColumnText(stmt.get(), 1);
    }
    return 0;
}
