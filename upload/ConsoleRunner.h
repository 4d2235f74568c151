#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Runs one program as a child process with its standard input and output
// redirected through pipes, and collects what it writes to standard output
// and standard error into one text.
//
// The program is given as an argv array and found through PATH; no shell ever
// sees the arguments. The child runs in a process group of its own, so that
// Cancel() and a time-out end it together with whatever it started that still
// holds the output pipe.
//
// Calling order: Start; if it returned 1, Finish; then Output. Output may also
// be called from another thread while the command runs (it returns a copy).
// Cancel may be called from any thread at any time; a cancelled runner starts
// nothing more.
class ConsoleRunner {
public:
    ConsoleRunner() = default;
    ~ConsoleRunner();
    ConsoleRunner(const ConsoleRunner&) = delete;
    ConsoleRunner& operator=(const ConsoleRunner&) = delete;

    // 1 = the child runs and the reader has started; 0 = nothing runs (already
    // running, cancelled, empty argv, or the program cannot be started).
    int Start(const std::vector<std::string>& argv);

    // Writes each line of `text` that ends with LF, trimmed of white space at
    // both ends and followed by CR LF. Text after the last LF is not sent.
    // Returns the result of the last write (nonzero = written); 0 when idle.
    int SendLines(const std::string& text);

    // Writes "exit" CR LF twice, closes the child's input, then waits until
    // the child's output has ended and the child is gone. Waits at most the
    // time limit set with SetTimeout (0 = none); on time-out or Cancel the
    // child's process group is killed. Returns 1 when the runner is idle
    // again, 0 when it was not running.
    int Finish();

    // Copy of the output collected so far (of the latest command only).
    std::string Output() const;

    // Time limit for the next Finish calls, in milliseconds; 0 = none.
    void SetTimeout(uint32_t milliseconds) { m_timeoutMs = milliseconds; }

    // True when the latest Finish ended the command because of the time limit.
    bool TimedOut() const { return m_timedOut; }

    // Why the latest Start returned 0: the errno of the failed spawn, pipe or
    // thread (ENOENT: no such program); 0 when it did not get that far.
    int StartError() const { return m_startError; }

    // How the latest finished command ended: its exit status, 128 + the
    // signal that ended it, or -1 when unknown.
    int ExitCode() const { return m_exitCode; }

    // Ends the running command (and its process group) and makes every later
    // Start fail. Safe from any thread.
    void Cancel();
    bool Cancelled() const { return m_cancelled.load(); }

private:
    void ReadOutput();
    void KillGroupLocked();
    void CloseFd(int& fd);

    int m_running = 0;
    std::atomic<uint32_t> m_timeoutMs{0};
    std::atomic<bool> m_timedOut{false};
    std::atomic<bool> m_cancelled{false};
    int m_exitCode = -1;
    int m_startError = 0;

    mutable std::mutex m_outputLock;
    std::string m_output;

    // Guards the child's pid (so a reaped pid is never killed) and the
    // reader's end flag.
    std::mutex m_stateLock;
    std::condition_variable m_stateChanged;
    pid_t m_pid = -1;
    bool m_readerDone = true;

    std::thread m_reader;
    int m_inWrite = -1;  // parent's side of the child's standard input
    int m_outRead = -1;  // parent's side of the child's output
    int m_wakeRead = -1; // wakes the reader when the command is abandoned
    int m_wakeWrite = -1;
};

// 0 when `path` is a folder (already, or made now); -1 when it cannot be made.
// Only the last component is made; a missing parent makes it fail.
int EnsureDirectory(const std::string& path);
