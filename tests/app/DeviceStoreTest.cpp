#include "app/DeviceStore.h"
#include "tests/app/Sqlite3Cli.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

const std::string READY = "就绪";

class DeviceStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vantor-store-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_file = (fs::path(m_dir) / "LiveData.mdb").string();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // A fresh store made by the program itself.
    void CreateStore() {
        DeviceStore store(m_file);
        ASSERT_EQ(store.Load(4, [](int, int, const std::string&) {}), 0) << store.LastError();
    }

    std::string Sql(const std::string& sql) { return RunSqlite3(m_file, sql); }

    // Loads rows 0..3 into a map keyed by (row, column).
    int LoadCells(std::map<std::pair<int, int>, std::string>& cells, DeviceStore& store) {
        return store.Load(4, [&](int row, int column, const std::string& text) { cells[{row, column}] = text; });
    }

    std::string m_dir;
    std::string m_file;
};

TEST_F(DeviceStoreTest, FirstLoadCreatesTheTableWithSixteenEmptySlots) {
    DeviceStore store(m_file);
    int calls = 0;
    ASSERT_EQ(store.Load(4, [&](int, int, const std::string&) { ++calls; }), 0) << store.LastError();
    EXPECT_EQ(calls, 0); // nothing is read back after creation
    ASSERT_TRUE(fs::is_regular_file(m_file));

    EXPECT_EQ(Sql(".schema LiveData"),
              "CREATE TABLE LiveData(Name VARCHAR(30), UID VARCHAR(30), PASSWORD VARCHAR(50));");
    EXPECT_EQ(Sql("SELECT count(*) FROM LiveData"), "16");
    EXPECT_EQ(Sql("SELECT count(*) FROM LiveData WHERE Name = '' AND UID = '' AND PASSWORD = ''"), "16");
    EXPECT_EQ(Sql("PRAGMA integrity_check"), "ok");

    // A second load reads the 16 empty slots: four rows of empty texts.
    std::map<std::pair<int, int>, std::string> cells;
    ASSERT_EQ(LoadCells(cells, store), 0) << store.LastError();
    EXPECT_EQ(cells.size(), 16u);
    for (const auto& [cell, text] : cells) {
        EXPECT_EQ(text, "") << cell.first << "," << cell.second;
    }
}

TEST_F(DeviceStoreTest, LoadShowsAssignedSlotsAndLeavesNullSlotsUntouched) {
    CreateStore();
    Sql("UPDATE LiveData SET UID = 'CAM-ONE' WHERE rowid = 2; UPDATE LiveData SET UID = NULL WHERE rowid = 3;"
        "UPDATE LiveData SET UID = 'CAM-FIVE' WHERE rowid = 5;");
    DeviceStore store(m_file);
    std::map<std::pair<int, int>, std::string> cells;
    ASSERT_EQ(LoadCells(cells, store), 0) << store.LastError();

    EXPECT_EQ(cells[std::make_pair(1, 0)], "CAM-ONE");
    for (int column = 1; column <= 3; ++column) {
        EXPECT_EQ(cells[std::make_pair(1, column)], READY);
        EXPECT_EQ(cells[std::make_pair(0, column)], "");
    }
    // The null slot writes nothing; slot 4 lies beyond the four rows.
    for (int column = 0; column < 4; ++column) {
        EXPECT_EQ(cells.count({2, column}), 0u);
        EXPECT_EQ(cells.count({4, column}), 0u);
    }
    EXPECT_EQ(cells.size(), 12u);

    int calls = 0;
    EXPECT_EQ(store.Load(-1, [&](int, int, const std::string&) { ++calls; }), 0);
    EXPECT_EQ(calls, 0);
}

TEST_F(DeviceStoreTest, AssignAndFreeWriteOnlyTheirSlot) {
    CreateStore();
    DeviceStore store(m_file);
    ASSERT_EQ(store.Assign(2, "VANTOR-0002"), 0) << store.LastError();
    ASSERT_EQ(store.Assign(0, ""), 0) << store.LastError();
    EXPECT_EQ(Sql("SELECT group_concat(quote(UID), ',') FROM (SELECT UID FROM LiveData ORDER BY rowid LIMIT 4)"),
              "'','','VANTOR-0002',''");

    ASSERT_EQ(store.Free(2), 0) << store.LastError();
    EXPECT_EQ(Sql("SELECT quote(UID) FROM LiveData WHERE rowid = 3"), "NULL");
    EXPECT_EQ(Sql("SELECT count(*) FROM LiveData WHERE UID IS NULL"), "1");
    EXPECT_EQ(Sql("SELECT count(*) FROM LiveData WHERE Name = '' AND PASSWORD = ''"), "16");

    std::optional<std::string> uid;
    ASSERT_EQ(store.ReadSlot(2, uid), 0);
    EXPECT_FALSE(uid.has_value());
    ASSERT_EQ(store.Assign(3, "设备-三"), 0) << store.LastError();
    ASSERT_EQ(store.ReadSlot(3, uid), 0);
    EXPECT_EQ(uid, std::optional<std::string>("设备-三"));
    EXPECT_EQ(Sql("SELECT UID FROM LiveData WHERE rowid = 4"), "设备-三");
}

TEST_F(DeviceStoreTest, SlotsFollowRowidOrderNotValues) {
    CreateStore();
    // Deleting a row shifts the later slots up by one, as with a positional recordset.
    Sql("UPDATE LiveData SET UID = 'B' WHERE rowid = 3; DELETE FROM LiveData WHERE rowid = 1;");
    DeviceStore store(m_file);
    std::optional<std::string> uid;
    ASSERT_EQ(store.ReadSlot(1, uid), 0);
    EXPECT_EQ(uid, std::optional<std::string>("B"));
}

TEST_F(DeviceStoreTest, UidLongerThanThirtyCharactersIsRefused) {
    CreateStore();
    DeviceStore store(m_file);
    const std::string before = ReadFileBytes(m_file);
    EXPECT_EQ(store.Assign(1, std::string(31, 'x')), -1);
    EXPECT_NE(store.LastError().find("30"), std::string::npos) << store.LastError();
    EXPECT_EQ(ReadFileBytes(m_file), before);

    // Thirty characters fit, whatever their number of bytes.
    std::string chinese;
    for (int i = 0; i < 30; ++i) {
        chinese += "设";
    }
    ASSERT_EQ(store.Assign(1, std::string(30, 'x')), 0) << store.LastError();
    ASSERT_EQ(store.Assign(2, chinese), 0) << store.LastError();
    EXPECT_EQ(store.Assign(2, chinese + "a"), -1);
    EXPECT_EQ(Sql("SELECT UID FROM LiveData WHERE rowid = 3"), chinese);
}

// A file that is no store, empty or not, is reported and never changed.
TEST_F(DeviceStoreTest, FileThatIsNoStoreIsNeverChanged) {
    for (const auto& [content, error] : {std::pair<std::string, std::string>{"", "no such table: LiveData"},
                                         {"This is a note.\n" + std::string(5000, 'z'), "file is not a database"}}) {
        WriteFileBytes(m_file, content);
        DeviceStore store(m_file);
        int calls = 0;
        EXPECT_EQ(store.Load(4, [&](int, int, const std::string&) { ++calls; }), -1);
        EXPECT_NE(store.LastError().find(error), std::string::npos) << store.LastError();
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(store.Assign(0, "X"), -1);
        EXPECT_EQ(store.Free(0), -1);
        std::optional<std::string> uid;
        EXPECT_EQ(store.ReadSlot(0, uid), -1);
        EXPECT_EQ(ReadFileBytes(m_file), content);
        EXPECT_EQ(fs::directory_iterator(m_dir)->path().filename(), "LiveData.mdb"); // no journal left over
    }
}

TEST_F(DeviceStoreTest, MissingTableAndMissingSlotsAreErrors) {
    CreateStore();
    Sql("DELETE FROM LiveData WHERE rowid > 2");
    DeviceStore store(m_file);
    std::map<std::pair<int, int>, std::string> cells;
    ASSERT_EQ(LoadCells(cells, store), 0); // two slots: two rows filled
    EXPECT_EQ(cells.size(), 8u);
    EXPECT_EQ(store.Assign(2, "X"), -1);
    EXPECT_NE(store.LastError().find("slot 2"), std::string::npos) << store.LastError();
    EXPECT_EQ(store.Free(3), -1);
    EXPECT_EQ(store.Assign(-1, "X"), -1);
    EXPECT_EQ(Sql("SELECT count(*) FROM LiveData WHERE UID = 'X'"), "0");

    Sql("DROP TABLE LiveData");
    EXPECT_EQ(LoadCells(cells, store), -1);
    EXPECT_NE(store.LastError().find("no such table: LiveData"), std::string::npos) << store.LastError();
    EXPECT_EQ(store.Assign(0, "X"), -1);
    EXPECT_NE(store.LastError().find("no such table: LiveData"), std::string::npos) << store.LastError();
}

TEST_F(DeviceStoreTest, LockedFileFailsWithTheEngineTextInsteadOfWaiting) {
    CreateStore();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(m_file.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    DeviceStore store(m_file);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store.Assign(0, "X"), -1);
    EXPECT_NE(store.LastError().find("database is locked"), std::string::npos) << store.LastError();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    EXPECT_EQ(store.Load(4, [](int, int, const std::string&) {}), -1);

    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(store.Assign(0, "X"), 0) << store.LastError();
}

TEST_F(DeviceStoreTest, NothingIsCreatedOutsideLoadOrOverExistingNames) {
    DeviceStore store(m_file);
    EXPECT_EQ(store.Assign(0, "X"), -1);
    EXPECT_EQ(store.Free(0), -1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(m_file)));

    // A dangling link is not followed to create a file somewhere else.
    const fs::path target = fs::path(m_dir) / "elsewhere.mdb";
    fs::create_symlink(target, m_file);
    EXPECT_EQ(store.Load(4, [](int, int, const std::string&) {}), -1);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(fs::is_symlink(m_file));
    fs::remove(m_file);

    // A folder of that name stays a folder.
    fs::create_directory(m_file);
    EXPECT_EQ(store.Load(4, [](int, int, const std::string&) {}), -1);
    EXPECT_FALSE(store.LastError().empty());
    EXPECT_TRUE(fs::is_directory(m_file));

    // Creation in a folder that does not exist fails cleanly.
    DeviceStore nowhere((fs::path(m_dir) / "missing" / "LiveData.mdb").string());
    EXPECT_EQ(nowhere.Load(4, [](int, int, const std::string&) {}), -1);
    EXPECT_NE(nowhere.LastError().find("cannot create"), std::string::npos) << nowhere.LastError();
}

TEST_F(DeviceStoreTest, DefaultPathIsTheCurrentDirectory) {
    const fs::path previous = fs::current_path();
    fs::current_path(m_dir);
    DeviceStore store;
    EXPECT_EQ(store.Path(), "LiveData.mdb");
    EXPECT_EQ(store.Load(4, [](int, int, const std::string&) {}), 0) << store.LastError();
    fs::current_path(previous);
    EXPECT_EQ(Sql("SELECT count(*) FROM LiveData"), "16");
}

} // namespace
