#include "tests/upload/FakeAdbFixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

void FakeAdbFixture::InstallOnPath() {
    const char* path = getenv("PATH");
    std::string value = std::string(VANTOR_SOURCE_DIR) + "/tests/upload/fakeadb:" + (path ? path : "/usr/bin:/bin");
    setenv("PATH", value.c_str(), 1);
}

FakeAdbFixture::FakeAdbFixture() {
    char pattern[] = "/tmp/fakeadb-XXXXXX";
    m_base = mkdtemp(pattern);
    m_root = m_base + "/fixture";
    m_work = m_base + "/work";
    fs::create_directories(m_root + "/dev");
    fs::create_directories(m_work);
    setenv("FAKEADB_ROOT", m_root.c_str(), 1);
    m_oldCwd = fs::current_path().string();
    fs::current_path(m_work);
}

FakeAdbFixture::~FakeAdbFixture() {
    std::error_code ec;
    fs::current_path(m_oldCwd, ec);
    fs::remove_all(m_base, ec);
}

void FakeAdbFixture::AddDevice(const std::string& serial, const char* btName, const std::string& state) {
    fs::create_directories(m_root + "/dev/" + serial + "/sdcard");
    Write("dev/" + serial + "/state", state);
    if (btName)
        Write("dev/" + serial + "/bt_name", btName);
}

void FakeAdbFixture::AddFiles(const std::string& serial, const std::string& folder, int count, size_t size,
                              const std::string& prefix) {
    const std::string dir = m_root + "/dev/" + serial + "/sdcard/" + folder;
    fs::create_directories(dir);
    for (int i = 0; i < count; ++i) {
        std::ofstream file(dir + "/" + prefix + std::to_string(i) + ".jpg", std::ios::binary);
        std::string content(size, static_cast<char>('a' + i % 26));
        file << content;
    }
}

namespace {

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

} // namespace

void FakeAdbFixture::Write(const std::string& relative, const std::string& content) {
    WriteFile(m_root + "/" + relative, content);
}

std::string FakeAdbFixture::Read(const std::string& relative) const {
    std::ifstream file(m_root + "/" + relative, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void FakeAdbFixture::WriteWork(const std::string& relative, const std::string& content) {
    WriteFile(m_work + "/" + relative, content);
}

std::vector<int> FakeAdbFixture::HangPids() const {
    std::vector<int> pids;
    std::istringstream in(Read("hang_pids"));
    for (int pid; in >> pid;)
        pids.push_back(pid);
    return pids;
}

bool FakeAdbFixture::ProcessGone(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return true;
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

bool FakeAdbFixture::WaitGone(int pid) {
    for (int i = 0; i < 300 && !ProcessGone(pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ProcessGone(pid);
}

int FakeAdbFixture::CountFiles(const std::string& folder) {
    if (!fs::is_directory(folder))
        return -1;
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        count += entry.is_regular_file() ? 1 : 0;
    return count;
}
