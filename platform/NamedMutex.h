#pragma once

#include <mutex>
#include <string>

// A process-wide named lock, the stand-in for a named system mutex: every
// NamedMutex created with the same name is the same recursive mutex, so
// objects of all panes that name "HandleDecoder" exclude each other. The
// mutex behind a name lives until the process ends, like a system mutex that
// is never closed. Use with std::lock_guard / std::unique_lock.
class NamedMutex {
public:
    explicit NamedMutex(const std::string& name);
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    void lock() { m_mutex->lock(); }
    void unlock() { m_mutex->unlock(); }
    bool try_lock() { return m_mutex->try_lock(); }

    const std::string& name() const { return m_name; }

private:
    std::string m_name;
    std::recursive_mutex* m_mutex; // owned by the process-wide registry
};
