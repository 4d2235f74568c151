#pragma once

#include <string>

// Test oracle: runs the sqlite3 command-line tool on a database file (argv, no
// shell) and returns its standard output without the final newline. Sets
// `exitCode` when given.
std::string RunSqlite3(const std::string& file, const std::string& sql, int* exitCode = nullptr);

// Whole file contents, for byte-for-byte comparisons; empty when unreadable.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
