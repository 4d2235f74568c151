#include "media/FileSync.h"

#include <cerrno>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex g_probeMutex;
FileSync::Probe g_probe;

template <typename Call> bool Retry(Call call) {
    int result = 0;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result == 0;
}

} // namespace

bool FileSync::Allow(Step step, int fd) {
    std::lock_guard<std::mutex> guard(g_probeMutex);
    return !g_probe || g_probe(step, fd);
}

bool FileSync::SyncData(Step step, int fd) {
    return Allow(step, fd) && Retry([fd] { return ::fdatasync(fd); });
}

bool FileSync::SyncAll(Step step, int fd) {
    return Allow(step, fd) && Retry([fd] { return ::fsync(fd); });
}

void FileSync::SetProbe(Probe probe) {
    std::lock_guard<std::mutex> guard(g_probeMutex);
    g_probe = std::move(probe);
}
