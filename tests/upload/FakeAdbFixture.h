#pragma once

// The fake adb (tests/upload/fakeadb) put first on PATH, the fixture folder it
// serves (FAKEADB_ROOT), and a fresh current folder for the uploads meanwhile.
#include "tests/support/TestFiles.h"
#include "tests/support/TestNet.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

class FakeAdbFixture {
public:
    FakeAdbFixture() : m_oldCwd(std::filesystem::current_path()) {
        InstallOnPath();
        std::filesystem::create_directories(m_root + "/dev");
        std::filesystem::create_directories(m_work);
        setenv("FAKEADB_ROOT", m_root.c_str(), 1);
        std::filesystem::current_path(m_work);
    }
    ~FakeAdbFixture() {
        std::error_code ec;
        std::filesystem::current_path(m_oldCwd, ec);
    }
    // Once: the first fixture is made before any thread that runs tools.
    static void InstallOnPath() {
        static const int installed = [] {
            const char* path = getenv("PATH");
            return setenv("PATH", (std::string(FAKEADB_DIR) + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
        }();
        (void)installed;
    }

    // A device in state `state` whose Bluetooth name file holds `btName` (none when null).
    void AddDevice(const std::string& serial, const char* btName, const std::string& state = "device") {
        Write("dev/" + serial + "/state", state);
        if (btName)
            Write("dev/" + serial + "/bt_name", btName);
    }
    // `count` files of `size` bytes in /sdcard/<folder> of the device.
    void AddFiles(const std::string& serial, const std::string& folder, int count, size_t size = 100,
                  const std::string& prefix = "f") {
        for (int i = 0; i < count; ++i)
            Write("dev/" + serial + "/sdcard/" + folder + "/" + prefix + std::to_string(i) + ".jpg",
                  std::string(size, static_cast<char>('a' + i % 26)));
    }
    // A file of the fixture (e.g. "dev/S/hang"), or one below the current folder.
    void Write(const std::string& relative, const std::string& content) { WriteAt(m_root + "/" + relative, content); }
    void WriteWork(const std::string& relative, const std::string& content) {
        WriteAt(m_work + "/" + relative, content);
    }

    // Every process a hanging command left behind (tool and grandchild) has ended.
    bool HangsEnded() const {
        std::ifstream in(m_root + "/hang_pids");
        bool ended = true;
        for (int pid; in >> pid;)
            ended = WaitGone(pid) && ended;
        return ended;
    }
    // Gone, or only a zombie waiting for its reaper; WaitGone waits up to 3 s for it.
    static bool ProcessGone(int pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            return true;
        const size_t close = line.rfind(')');
        return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
    }
    static bool WaitGone(int pid) {
        return testnet::WaitUntil([pid] { return ProcessGone(pid); }, 3000);
    }
    // Files below `folder`, at any depth; -1 when it is no folder.
    static int CountFiles(const std::string& folder) {
        if (!std::filesystem::is_directory(folder))
            return -1;
        return static_cast<int>(std::count_if(std::filesystem::recursive_directory_iterator(folder), {},
                                              [](const auto& entry) { return entry.is_regular_file(); }));
    }

    const std::string& root() const { return m_root; }
    const std::string& work() const { return m_work; }

private:
    static void WriteAt(const std::filesystem::path& path, const std::string& content) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    TempDir m_base;
    const std::string m_root = m_base.path().string() + "/fixture";
    const std::string m_work = m_base.path().string() + "/work";
    const std::filesystem::path m_oldCwd;
};
