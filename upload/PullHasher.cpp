#include "upload/PullHasher.h"

#include "upload/Sha256.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

PullHasher::PullHasher(std::string folder) : m_folder(std::move(folder)) {}

PullHasher::~PullHasher() {
    Stop();
    if (m_inotify >= 0)
        close(m_inotify);
    if (m_wake >= 0)
        close(m_wake);
}

bool PullHasher::Start() {
    m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_inotify < 0 || m_wake < 0)
        return false;
    Watch(m_folder);
    if (m_watched.empty())
        return false;
    try {
        m_thread = std::thread(&PullHasher::Run, this);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void PullHasher::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    if (m_wake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(m_wake, &one, sizeof(one));
    }
    if (m_thread.joinable())
        m_thread.join();
}

std::map<std::string, std::string> PullHasher::Unchanged(const std::string& root) const {
    std::map<std::string, std::string> hashes;
    const std::string prefix = root + "/";
    for (const auto& [path, hashed] : m_hashed) {
        struct stat now {};
        if (path.rfind(prefix, 0) == 0 && lstat(path.c_str(), &now) == 0 && SameFile(now, hashed.seen))
            hashes[path.substr(prefix.size())] = hashed.hex;
    }
    return hashes;
}

// Every file closed before Stop is hashed before the thread ends.
void PullHasher::Run() {
    for (;;) {
        pollfd fds[2] = {{m_inotify, POLLIN, 0}, {m_wake, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        ReadEvents();
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stop)
            return;
    }
}

void PullHasher::ReadEvents() {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t got = read(m_inotify, buffer, sizeof(buffer));
        if (got <= 0)
            return; // drained (EAGAIN); an overflow only means fewer early hashes
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const auto folder = m_watched.find(event->wd);
            if (folder == m_watched.end() || event->len == 0)
                continue;
            const std::string path = folder->second + "/" + event->name;
            if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO)))
                Watch(path);
            else if (event->mask & IN_CLOSE_WRITE)
                HashClosed(path);
        }
    }
}

// A folder, with what it already holds: a folder made just now may hold
// files closed before its watch began. A file still being written when it is
// hashed here is hashed again when it closes.
void PullHasher::Watch(const std::string& folder) {
    const int wd = inotify_add_watch(m_inotify, folder.c_str(),
                                     IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR | IN_DONT_FOLLOW);
    if (wd < 0)
        return;
    m_watched[wd] = folder;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_symlink(typeError))
            continue;
        if (it->is_directory(typeError))
            Watch(it->path().string());
        else if (it->is_regular_file(typeError))
            HashClosed(it->path().string());
    }
}

void PullHasher::HashClosed(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    Hashed hashed;
    struct stat after {};
    int error = 0;
    if (fstat(fd, &hashed.seen) == 0 && S_ISREG(hashed.seen.st_mode) && Sha256::HashDescriptor(fd, hashed.hex, error) &&
        fstat(fd, &after) == 0 && SameFile(after, hashed.seen)) {
        sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        m_hashed[path] = std::move(hashed);
    } else {
        m_hashed.erase(path);
    }
    close(fd);
}

bool PullHasher::SameFile(const struct stat& a, const struct stat& b) {
    return S_ISREG(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}
