#include "upload/HomeFolder.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kMostNumbers = 10000;

// 0 when `from` now lies at `to`; EEXIST when `to` is taken; another errno on failure.
int RenameNoReplace(const fs::path& from, const fs::path& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // File systems without the flag: a hard link fails on a taken name too.
    if (link(from.c_str(), to.c_str()) == 0)
        return unlink(from.c_str()) == 0 ? 0 : errno;
    if (errno != EPERM && errno != ENOTSUP)
        return errno;
    // Neither (e.g. some network shares): test and rename under one lock, so
    // at least the workers of this program never replace each other's files.
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec)))
        return EEXIST;
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool PlaceFile(const fs::path& file, const fs::path& folder, std::string& placedAt) {
    const std::string name = file.filename().string();
    for (int number = 1; number <= kMostNumbers; ++number) {
        const fs::path candidate = folder / (number == 1 ? name : HomeFolder::Numbered(name, number));
        const int error = RenameNoReplace(file, candidate);
        if (error != 0 && error != EEXIST)
            return false;
        std::error_code ec;
        if (error == 0 || (HomeFolder::SameContent(file, candidate) && fs::remove(file, ec))) {
            placedAt = candidate.string();
            return true;
        }
    }
    return false;
}

// The folder `name` below `parent`, or the first free NAME-2 ... when a file is in the way.
bool PlaceFolder(const fs::path& parent, const std::string& name, fs::path& placedAt) {
    for (int number = 1; number <= kMostNumbers; ++number) {
        const fs::path candidate = parent / (number == 1 ? name : HomeFolder::Numbered(name, number));
        std::error_code ec;
        fs::create_directory(candidate, ec);
        if (fs::is_directory(fs::symlink_status(candidate, ec))) {
            placedAt = candidate;
            return true;
        }
    }
    return false;
}

bool MoveTree(const fs::path& from, const fs::path& to, const std::string& below,
              std::map<std::string, std::string>& placed) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    if (ec)
        return false;
    bool ok = true;
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        const std::string path = below.empty() ? name : below + "/" + name;
        std::error_code typeError;
        if (entry.is_directory(typeError) && !entry.is_symlink(typeError)) {
            fs::path folder;
            ok = PlaceFolder(to, name, folder) && MoveTree(entry.path(), folder, path, placed) && ok;
            continue;
        }
        std::string placedAt;
        if (PlaceFile(entry.path(), to, placedAt))
            placed[path] = placedAt;
        else
            ok = false;
    }
    return ok;
}

} // namespace

bool HomeFolder::MoveIn(const std::string& from, const std::string& to, std::map<std::string, std::string>& placed) {
    std::error_code ec;
    if (!fs::exists(from, ec))
        return !ec;
    return MoveTree(from, to, "", placed);
}

std::string HomeFolder::Numbered(const std::string& name, int number) {
    const size_t dot = name.rfind('.');
    const std::string suffix = "-" + std::to_string(number);
    if (dot == std::string::npos || dot == 0)
        return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

bool HomeFolder::SameContent(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (!fs::is_regular_file(a, ec) || !fs::is_regular_file(b, ec) || fs::file_size(a, ec) != fs::file_size(b, ec) ||
        ec)
        return false;
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    std::vector<char> one(1 << 16);
    std::vector<char> two(1 << 16);
    while (first && second) {
        first.read(one.data(), static_cast<std::streamsize>(one.size()));
        second.read(two.data(), static_cast<std::streamsize>(two.size()));
        if (first.gcount() != second.gcount() || !std::equal(one.begin(), one.begin() + first.gcount(), two.begin()))
            return false;
    }
    return first.eof() && second.eof();
}

HomeFolder::Measure HomeFolder::Measured(const std::string& folder) {
    Measure measure;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_directory(typeError))
            continue;
        ++measure.files;
        uint64_t size = it->file_size(typeError);
        if (!typeError)
            measure.bytes += size;
    }
    return measure;
}
