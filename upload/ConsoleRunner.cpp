#include "upload/ConsoleRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace {

// Spawn attributes of the child: a clean signal mask and default SIGPIPE
// (whatever this process does with them), in a process group of its own.
class SpawnAttributes {
public:
    SpawnAttributes() {
        posix_spawnattr_init(&m_attr);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&m_attr, 0);
        sigset_t empty;
        sigemptyset(&empty);
        posix_spawnattr_setsigmask(&m_attr, &empty);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&m_attr, &defaults);
        posix_spawnattr_setflags(&m_attr, flags);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&m_attr); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &m_attr; }

private:
    posix_spawnattr_t m_attr;
};

std::vector<char*> MakeArgv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    out.reserve(argv.size() + 1);
    for (const std::string& arg : argv)
        out.push_back(const_cast<char*>(arg.c_str()));
    out.push_back(nullptr);
    return out;
}

// Writes all of `data`; a child that has gone away gives EPIPE instead of
// killing this process with SIGPIPE (blocked for this thread, then discarded).
bool WriteAll(int fd, const char* data, size_t size) {
    sigset_t pipeSet, oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    bool ok = true;
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (errno == EPIPE) {
                timespec zero{0, 0};
                while (sigtimedwait(&pipeSet, nullptr, &zero) == SIGPIPE) {
                }
            }
            ok = false;
            break;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    return ok;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

} // namespace

ConsoleRunner::~ConsoleRunner() {
    if (m_running) {
        Cancel();
        Finish();
    }
}

void ConsoleRunner::CloseFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

int ConsoleRunner::Start(const std::vector<std::string>& argv) {
    m_startError = 0;
    if (m_running || m_cancelled || argv.empty() || argv[0].empty())
        return 0;

    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int wake[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* fd : {&in[0], &in[1], &out[0], &out[1], &wake[0], &wake[1]})
            CloseFd(*fd);
    };
    // O_CLOEXEC: no other child (of this runner or of another thread) inherits
    // these ends; the child gets its own copies through dup2 below.
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_startError = errno;
        closeAll();
        return 0;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    SpawnAttributes attributes;
    std::vector<char*> args = MakeArgv(argv);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, attributes.get(), args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_startError = rc;
        closeAll();
        return 0;
    }

    CloseFd(in[0]);
    CloseFd(out[1]);
    {
        std::lock_guard<std::mutex> guard(m_outputLock);
        m_output.clear();
    }
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_pid = pid;
        m_readerDone = false;
        m_inWrite = in[1];
        m_outRead = out[0];
        m_wakeRead = wake[0];
        m_wakeWrite = wake[1];
        if (m_cancelled)
            KillGroupLocked();
    }
    m_timedOut = false;
    m_exitCode = -1;
    m_running = 1;
    try {
        m_reader = std::thread(&ConsoleRunner::ReadOutput, this);
    } catch (const std::system_error& error) {
        m_startError = error.code().value();
        {
            std::lock_guard<std::mutex> guard(m_stateLock);
            m_readerDone = true;
            CloseFd(m_outRead);
        }
        Cancel();
        Finish();
        return 0;
    }
    return 1;
}

void ConsoleRunner::ReadOutput() {
    char buffer[1024];
    for (;;) {
        pollfd fds[2] = {{m_outRead, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
        int n = poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            break; // the command was abandoned (cancel or time-out)
        if (fds[0].revents == 0)
            continue;
        std::memset(buffer, 0, sizeof(buffer));
        ssize_t got = read(m_outRead, buffer, sizeof(buffer) - 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break; // every holder of the write end has closed it
        std::lock_guard<std::mutex> guard(m_outputLock);
        m_output.append(buffer, strnlen(buffer, static_cast<size_t>(got)));
    }
    std::lock_guard<std::mutex> guard(m_stateLock);
    CloseFd(m_outRead);
    m_readerDone = true;
    m_stateChanged.notify_all();
}

int ConsoleRunner::SendLines(const std::string& text) {
    if (!m_running || m_inWrite < 0)
        return 0;
    int result = 1;
    size_t begin = 0;
    for (size_t lf = text.find('\n', begin); lf != std::string::npos; lf = text.find('\n', begin)) {
        size_t first = begin;
        size_t last = lf;
        while (first < last && IsBlank(text[first]))
            ++first;
        while (last > first && IsBlank(text[last - 1]))
            --last;
        std::string line = text.substr(first, last - first) + "\r\n";
        result = WriteAll(m_inWrite, line.data(), line.size()) ? 1 : 0;
        begin = lf + 1;
    }
    return result;
}

void ConsoleRunner::KillGroupLocked() {
    if (m_pid > 0)
        kill(-m_pid, SIGKILL);
    if (m_wakeWrite >= 0) {
        char byte = 1;
        [[maybe_unused]] ssize_t n = write(m_wakeWrite, &byte, 1);
    }
}

void ConsoleRunner::Cancel() {
    m_cancelled = true;
    std::lock_guard<std::mutex> guard(m_stateLock);
    KillGroupLocked();
    m_stateChanged.notify_all();
}

int ConsoleRunner::Finish() {
    if (!m_running)
        return 0;
    SendLines("exit\nexit\n");
    // Closing the input right away lets a child that reads it to the end finish.
    CloseFd(m_inWrite);

    using Clock = std::chrono::steady_clock;
    const uint32_t timeoutMs = m_timeoutMs;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto expired = [&] { return timeoutMs != 0 && Clock::now() >= deadline; };
    bool killed = false;
    {
        std::unique_lock<std::mutex> guard(m_stateLock);
        // Output first: it ends when the child and everything that inherited
        // the pipe have closed it.
        while (!m_readerDone) {
            if (!killed && (m_cancelled || expired())) {
                m_timedOut = !m_cancelled;
                KillGroupLocked();
                killed = true;
            }
            if (timeoutMs != 0 && !killed)
                m_stateChanged.wait_until(guard, deadline);
            else
                m_stateChanged.wait(guard);
        }
        // Then the child itself; the pid stays valid (a zombie) until reaped here.
        while (m_pid > 0) {
            int status = 0;
            pid_t r = waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                m_pid = -1;
                break;
            }
            if (r < 0 && errno != EINTR) {
                m_pid = -1;
                break;
            }
            if (!killed && (m_cancelled || expired())) {
                m_timedOut = !m_cancelled;
                KillGroupLocked();
                killed = true;
            }
            m_stateChanged.wait_for(guard, std::chrono::milliseconds(10));
        }
    }
    if (m_reader.joinable())
        m_reader.join();
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        CloseFd(m_wakeRead);
        CloseFd(m_wakeWrite);
    }
    m_running = 0;
    return 1;
}

std::string ConsoleRunner::Output() const {
    std::lock_guard<std::mutex> guard(m_outputLock);
    return m_output;
}

int EnsureDirectory(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return 0;
    if (mkdir(path.c_str(), 0777) == 0)
        return 0;
    // Made by someone else in the meantime?
    if (errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return 0;
    return -1;
}
