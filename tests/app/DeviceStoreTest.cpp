#include "app/DeviceStore.h"
#include "tests/app/StoreSql.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>

namespace fs = std::filesystem;

namespace {

const std::string READY = "就绪";
using Cells = std::map<std::pair<int, int>, std::string>;

class DeviceStoreTest : public ::testing::Test {
protected:
    // A fresh store made by the program itself.
    void CreateStore() {
        DeviceStore store(m_file);
        ASSERT_EQ(store.Load(4, [](int, int, const std::string&) {}), 0) << store.LastError();
    }
    std::string Sql(const std::string& sql) { return RunSql(m_file, sql); }
    // Loads rows 0..3, keyed by (row, column).
    static int LoadCells(Cells& cells, DeviceStore& store) {
        return store.Load(4, [&](int row, int column, const std::string& text) { cells[{row, column}] = text; });
    }

    TempDir m_dir;
    std::string m_file = (m_dir.path() / "LiveData.mdb").string();
};

TEST_F(DeviceStoreTest, FirstLoadCreatesTheTableWithSixteenEmptySlots) {
    DeviceStore store(m_file);
    // Writes before the first load fail and create nothing.
    EXPECT_EQ(store.Assign(0, "X"), -1);
    EXPECT_EQ(store.Free(0), -1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(m_file)));

    int calls = 0;
    ASSERT_EQ(store.Load(4, [&](int, int, const std::string&) { ++calls; }), 0) << store.LastError();
    EXPECT_EQ(calls, 0); // nothing is read back after creation
    EXPECT_EQ(Sql("SELECT sql FROM sqlite_master WHERE name = 'LiveData'"),
              "CREATE TABLE LiveData(Name VARCHAR(30), UID VARCHAR(30), PASSWORD VARCHAR(50))");
    EXPECT_EQ(Sql("SELECT count(*) FROM LiveData WHERE Name = '' AND UID = '' AND PASSWORD = ''"), "16");

    // A second load reads the empty slots: four rows of empty texts.
    Cells cells;
    ASSERT_EQ(LoadCells(cells, store), 0) << store.LastError();
    EXPECT_EQ(cells.size(), 16u);
    for (const auto& [cell, text] : cells)
        EXPECT_EQ(text, "") << cell.first << "," << cell.second;
}

TEST_F(DeviceStoreTest, LoadShowsAssignedSlotsAndLeavesNullSlotsUntouched) {
    CreateStore();
    Sql("UPDATE LiveData SET UID = 'CAM-ONE' WHERE rowid = 2; UPDATE LiveData SET UID = NULL WHERE rowid = 3;"
        "UPDATE LiveData SET UID = 'CAM-FIVE' WHERE rowid = 5;");
    DeviceStore store(m_file);
    Cells cells;
    ASSERT_EQ(LoadCells(cells, store), 0) << store.LastError();
    Cells expected; // the null slot (row 2) writes nothing; slot 4 lies beyond the four rows
    for (int column = 0; column < 4; ++column) {
        expected[{0, column}] = expected[{3, column}] = "";
        expected[{1, column}] = column == 0 ? "CAM-ONE" : READY;
    }
    EXPECT_EQ(cells, expected);
}

TEST_F(DeviceStoreTest, AssignAndFreeWriteOnlyTheirSlot) {
    CreateStore();
    DeviceStore store(m_file);
    ASSERT_EQ(store.Assign(2, "VANTOR-0002", "old"), 0) << store.LastError();
    ASSERT_EQ(store.Assign(3, "设备-三", "密码3"), 0) << store.LastError();
    ASSERT_EQ(store.Free(2), 0) << store.LastError(); // the password goes with the device
    EXPECT_EQ(Sql("SELECT group_concat(quote(UID) || ':' || quote(PASSWORD), ',') FROM "
                  "(SELECT UID, PASSWORD FROM LiveData ORDER BY rowid LIMIT 5)"),
              "'':'','':'',NULL:'','设备-三':'密码3','':''");
    EXPECT_EQ(Sql("SELECT count(*) FROM LiveData WHERE Name = ''"), "16");

    std::optional<std::string> uid;
    std::string password = "x";
    ASSERT_EQ(store.ReadSlot(2, uid, &password), 0);
    EXPECT_FALSE(uid.has_value());
    EXPECT_EQ(password, "");
    ASSERT_EQ(store.ReadSlot(3, uid, &password), 0);
    EXPECT_EQ(uid, std::optional<std::string>("设备-三"));
    EXPECT_EQ(password, "密码3");
}

// Slot i is the i-th row in rowid order, as with a positional recordset:
// deleting a row shifts the later slots up, and a slot without a row is an error.
TEST_F(DeviceStoreTest, SlotsArePositionsInRowidOrder) {
    CreateStore();
    Sql("UPDATE LiveData SET UID = 'B' WHERE rowid = 3; DELETE FROM LiveData WHERE rowid = 1 OR rowid > 3;");
    DeviceStore store(m_file);
    std::optional<std::string> uid;
    ASSERT_EQ(store.ReadSlot(1, uid), 0);
    EXPECT_EQ(uid, std::optional<std::string>("B"));
    Cells cells;
    ASSERT_EQ(LoadCells(cells, store), 0);
    EXPECT_EQ(cells.size(), 8u);

    EXPECT_EQ(store.Assign(2, "X"), -1);
    EXPECT_NE(store.LastError().find("slot 2"), std::string::npos) << store.LastError();
    EXPECT_EQ(store.Free(2), -1);
    EXPECT_EQ(store.Assign(-1, "X"), -1);
    EXPECT_EQ(Sql("SELECT count(*) FROM LiveData WHERE UID = 'X'"), "0");
}

TEST_F(DeviceStoreTest, UidLongerThanThirtyCharactersIsRefused) {
    CreateStore();
    DeviceStore store(m_file);
    EXPECT_EQ(store.Assign(1, std::string(31, 'x')), -1);
    EXPECT_EQ(store.Assign(1, "X", std::string(51, 'p')), -1); // the PASSWORD column's width
    std::string wide;
    for (int i = 0; i < 22; ++i)
        wide += "密"; // 22 characters but 66 bytes: more than the transport carries
    EXPECT_EQ(store.Assign(1, "X", wide), -1);
    // Thirty characters fit, whatever their number of bytes.
    std::string chinese;
    for (int i = 0; i < 30; ++i)
        chinese += "设";
    ASSERT_EQ(store.Assign(2, chinese), 0) << store.LastError();
    EXPECT_EQ(store.Assign(2, chinese + "a"), -1);
    EXPECT_EQ(Sql("SELECT UID FROM LiveData WHERE rowid = 3"), chinese);
}

// Something under the store's name that is no usable store. What setUp
// returns lives until the checks are done.
struct BrokenStore {
    const char* name;
    const char* path; // in the test's folder
    std::function<std::shared_ptr<void>(const std::string& file)> setUp;
    const char* error;
};

std::nullptr_t Write(const std::string& file, const std::string& bytes) {
    WriteFileBytes(file, bytes);
    return nullptr;
}
std::nullptr_t Made(const std::string& file, const std::string& sql) {
    DeviceStore(file).Load(4, [](int, int, const std::string&) {});
    RunSql(file, sql);
    return nullptr;
}
std::shared_ptr<void> Locked(const std::string& file) {
    Made(file, "");
    sqlite3* other = nullptr;
    sqlite3_open(file.c_str(), &other);
    sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    return std::shared_ptr<void>(other, [](void* db) { sqlite3_close(static_cast<sqlite3*>(db)); });
}

const BrokenStore kBrokenStores[] = {
    {"EmptyFile", "LiveData.mdb", [](auto& file) { return Write(file, ""); }, "no such table: LiveData"},
    {"NotADatabase", "LiveData.mdb", [](auto& file) { return Write(file, "A note.\n" + std::string(5000, 'z')); },
     "file is not a database"},
    {"TableDropped", "LiveData.mdb", [](auto& file) { return Made(file, "DROP TABLE LiveData"); },
     "no such table: LiveData"},
    {"LockedByAnotherProgram", "LiveData.mdb", Locked, "database is locked"}, // fails instead of waiting
    {"DanglingLink", "LiveData.mdb", // never followed to create a file elsewhere
     [](auto& file) {
         fs::create_symlink(file + ".elsewhere", file);
         return nullptr;
     },
     "unable to open"},
    {"FolderOfThatName", "LiveData.mdb",
     [](auto& file) {
         fs::create_directory(file);
         return nullptr;
     },
     "unable to open"},
    {"InAMissingFolder", "missing/LiveData.mdb", [](auto&) { return nullptr; }, "cannot create"},
};

// Every entry under `dir`: its kind, a link's target, a file's bytes.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().string();
        if (entry.is_symlink())
            entries[name] = "link to " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            entries[name] = "folder";
        else
            entries[name] = ReadFileBytes(name);
    }
    return entries;
}

class BrokenStoreTest : public DeviceStoreTest, public ::testing::WithParamInterface<BrokenStore> {};

// Load and writes fail with the cause in LastError, and nothing in the folder changes.
TEST_P(BrokenStoreTest, IsReportedAndNeverChanged) {
    const std::string file = m_dir.path() / GetParam().path;
    const std::shared_ptr<void> hold = GetParam().setUp(file);
    const auto before = Snapshot(m_dir.path());
    DeviceStore store(file);
    int calls = 0;
    EXPECT_EQ(store.Load(4, [&](int, int, const std::string&) { ++calls; }), -1);
    EXPECT_NE(store.LastError().find(GetParam().error), std::string::npos) << store.LastError();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(store.Assign(0, "X"), -1);
    EXPECT_EQ(Snapshot(m_dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Stores, BrokenStoreTest, ::testing::ValuesIn(kBrokenStores),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
