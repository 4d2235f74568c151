#pragma once

// Test helpers: a fixture folder served by the fake adb (tests/upload/fakeadb),
// put first on PATH, and a temporary current folder for the uploads.
#include <string>
#include <vector>

class FakeAdbFixture {
public:
    FakeAdbFixture();
    ~FakeAdbFixture();
    FakeAdbFixture(const FakeAdbFixture&) = delete;
    FakeAdbFixture& operator=(const FakeAdbFixture&) = delete;

    // Puts the fake tool first on PATH; call once before any thread starts.
    static void InstallOnPath();

    // A device in state `state` whose Bluetooth name file holds `btName`
    // (no file when btName is null).
    void AddDevice(const std::string& serial, const char* btName, const std::string& state = "device");
    // `count` files of `size` bytes in /sdcard/<folder> of the device.
    void AddFiles(const std::string& serial, const std::string& folder, int count, size_t size = 100,
                  const std::string& prefix = "f");
    // Writes a file of the fixture (relative to its root), e.g. "dev/S/hang".
    void Write(const std::string& relative, const std::string& content);
    std::string Read(const std::string& relative) const;
    // Writes below the current folder of the uploads.
    void WriteWork(const std::string& relative, const std::string& content);

    // Pids left behind by hanging commands (tool and grandchild).
    std::vector<int> HangPids() const;
    // Gone, or only a zombie waiting for its reaper; WaitGone waits up to 3 s for it.
    static bool ProcessGone(int pid);
    static bool WaitGone(int pid);
    // Files below `folder`, at any depth; -1 when it is no folder.
    static int CountFiles(const std::string& folder);

    const std::string& root() const { return m_root; }
    const std::string& work() const { return m_work; } // the current folder meanwhile

private:
    std::string m_base;
    std::string m_root;
    std::string m_work;
    std::string m_oldCwd;
};
