#pragma once

// Test oracle for the device store: SQL run on the store file through a
// connection of its own, and a file's bytes for byte-for-byte comparisons.
#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <string>

// The rows of `sql` run on the database `file` as the sqlite3 tool prints them:
// columns joined by '|', rows by newlines, null as empty text.
inline std::string RunSql(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        auto addRow = [](void* text, int columns, char** values, char**) {
            auto& rows = *static_cast<std::string*>(text);
            for (int i = 0; i < columns; ++i)
                rows += std::string(i ? "|" : "") + (values[i] ? values[i] : "");
            rows += '\n';
            return 0;
        };
        sqlite3_exec(db, sql.c_str(), addRow, &out, nullptr);
    }
    sqlite3_close(db);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
