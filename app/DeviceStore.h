#pragma once

#include <functional>
#include <optional>
#include <string>

struct sqlite3;

// The device store: which device UID is assigned to which pane, kept across
// runs in the SQLite file LiveData.mdb (by default in the current directory),
// table LiveData(Name, UID, PASSWORD) with 16 slot rows; slot i is the i-th row
// in rowid (insertion) order. A null or empty UID means the slot is free.
//
// Every operation opens the file and closes it before it returns. Operations
// return 0 on success and -1 on failure; LastError() then holds the engine's
// error text (or our own text for the checks made here). An existing file that
// is not a usable database is never replaced or modified.
class DeviceStore {
public:
    static constexpr int SLOT_COUNT = 16;
    static constexpr int UID_MAX_CHARS = 30;      // width of the UID column
    static constexpr int PASSWORD_MAX_CHARS = 50; // width of the PASSWORD column
    static constexpr int PASSWORD_MAX_BYTES = 64; // what the transport carries

    // Writes one cell of the device list: row, column 0..3, UTF-8 text.
    using CellWriter = std::function<void(int row, int column, const std::string& text)>;

    explicit DeviceStore(std::string path = "LiveData.mdb");

    // The desk's known-devices file (device identities, one "UID
    // fingerprint" line each), beside the store's file, as an absolute path.
    std::string KnownDevicesPath() const;

    // Creates the file when it is missing (rows are then left as they are);
    // otherwise fills rows 0..rows-1 from the first slots through setCell. A
    // slot with a null UID leaves its row untouched; an empty UID gives four
    // empty texts; any other UID gives the UID and "就绪" three times. Rows
    // filled before an error stay filled.
    int Load(int rows, const CellWriter& setCell);

    // Sets the UID and the device password of slot `slot`. UTF-8 texts of at
    // most UID_MAX_CHARS characters, and PASSWORD_MAX_CHARS characters and
    // PASSWORD_MAX_BYTES bytes. An empty password means the devices' fixed one.
    int Assign(int slot, const std::string& uid, const std::string& password = {});

    // Sets the UID of slot `slot` to null and empties its password.
    int Free(int slot);

    // Reads the UID of slot `slot` (nullopt for null), and its password when
    // asked (empty for null).
    int ReadSlot(int slot, std::optional<std::string>& uid, std::string* password = nullptr);

    const std::string& LastError() const { return m_lastError; }
    const std::string& Path() const { return m_path; }

private:
    int Create();
    int Open(sqlite3*& db);
    int Fail(sqlite3* db);
    int Fail(const std::string& text);
    int WriteSlot(int slot, const std::string* uid, const std::string& password);

    std::string m_path;
    std::string m_lastError;
};
