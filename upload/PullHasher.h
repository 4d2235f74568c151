#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// Hashes the files of a copy while the copy goes on: each file is hashed, from
// the page cache, as soon as the tool closes it, and its writeback to disk is
// started. When the copy ends, most of the folder is hashed and on its way to
// disk, so that little is left to do before the upload may count as home.
//
// A hash is handed out only for a file that is still exactly as it was when
// it was hashed (same file, size, and modification and change times); any
// other file (one rewritten, one whose closing was not seen) is simply hashed
// again by the caller.
class PullHasher {
public:
    // Watches `folder` and every folder made below it.
    explicit PullHasher(std::string folder);
    ~PullHasher();
    PullHasher(const PullHasher&) = delete;
    PullHasher& operator=(const PullHasher&) = delete;

    // False when the watch or its thread cannot start; the copy then goes on
    // without early hashes.
    bool Start();
    void Stop();

    // After Stop (which waits for the files closed before it): the hashes of the files below `root` that have not
    // changed since they were hashed, by their path below `root` ("a.jpg", "sub/b.jpg").
    std::map<std::string, std::string> Unchanged(const std::string& root) const;

private:
    struct Hashed {
        struct stat seen {};
        std::string hex;
    };

    void Run();
    void ReadEvents();
    void Watch(const std::string& folder);
    void HashClosed(const std::string& path);
    static bool SameFile(const struct stat& a, const struct stat& b);

    const std::string m_folder;
    int m_inotify = -1;
    int m_wake = -1;
    std::map<int, std::string> m_watched; // watch descriptor -> folder
    std::map<std::string, Hashed> m_hashed;
    std::mutex m_lock;
    bool m_stop = false;
    std::thread m_thread;
};
