#pragma once

#include "platform/MessageThread.h"
#include "upload/DeleteScript.h"
#include "upload/UploadJob.h"
#include "upload/UploadNotifySink.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class ConsoleRunner;

// Worker of the batch upload: carries out the jobs posted to it as
// UM_UPLOAD_JOB thread messages (list the devices, upload a device's media,
// delete it on the device) by running `adb`, one job at a time, and reports to
// its notify sink. JOB_QUIT ends the thread after the job being handled.
//
// An upload brings home every file below the device's media folders (any
// depth, hidden ones too), hashes each one, syncs it and its folder to disk
// and lists it in the folder's MANIFEST.sha256; it never replaces a local
// file and never moves in anything from a copy that failed. A delete removes
// a file from the device only when the device, at that moment, hashes it to
// the hash of the synced copy at home.
//
// Cancel() ends the tool that runs now and makes every later tool start fail,
// so a worker stuck on a hanging tool can always be ended.
class CUploadHandleThread : public MessageThread {
public:
    CUploadHandleThread();
    ~CUploadHandleThread() override;

    // Where notices go; set before the thread starts. Setting nullptr drops
    // later notices (only after the sink has stopped blocking its sends).
    void SetNotifySink(UploadNotifySink* sink);

    // Time limit of the device listing, name, folder listing and delete
    // commands; the copy has none: it is ended when it stalls.
    void SetCommandTimeout(uint32_t milliseconds) { m_timeoutMs = milliseconds; }
    static constexpr uint32_t COMMAND_TIMEOUT_MS = 30000;

    // A copy during which no new bytes arrive locally for this long is ended
    // and reported as a lost connection.
    void SetPullStallTimeout(uint32_t milliseconds) { m_stallMs = milliseconds; }
    static constexpr uint32_t PULL_STALL_TIMEOUT_MS = 60000;

    // A copy may take the stall time plus its listed size at this rate (bytes
    // per second); one that takes longer (a trickle) is ended.
    void SetLeastPullRate(uint32_t bytesPerSecond) { m_leastRate = bytesPerSecond; }
    static constexpr uint32_t LEAST_PULL_RATE = 256 * 1024;

    void Cancel();

    // A device-given name turned into a name for one local folder: bytes that
    // are not UTF-8 (and "%") written as %XX, so different names never meet;
    // "/", "\", control characters and ".." made "_"; at most 200 bytes;
    // never empty, never "." or "..".
    static std::string SafeFolderName(const std::string& name);

    std::string NamePrefixes[10];

private:
    void OnUploadJob(uintptr_t wParam, intptr_t lParam);
    void RunListDevices(UploadJob& job);
    void RunUpload(UploadJob& job);
    void RunDelete(UploadJob& job);
    int PullFolder(UploadJob& job, ConsoleRunner& runner, const std::string& deviceFolder, const std::string& folder,
                   bool& missing);
    int DeleteFiles(ConsoleRunner& runner, UploadJob& job, const std::vector<DeleteScript::Item>& items,
                    const std::vector<HomeFile>& offered, std::vector<HomeFile>& kept);

    void Post(uintptr_t wParam, UploadJob* job);
    void Send(uintptr_t wParam, UploadJob* job);
    void PostProgress(const UploadProgress& progress);

    friend class ActiveRunner;

    std::mutex m_sinkLock;
    UploadNotifySink* m_sink = nullptr;

    std::mutex m_runnerLock;
    ConsoleRunner* m_current = nullptr;
    std::atomic<bool> m_cancelled{false};
    std::atomic<uint32_t> m_timeoutMs{COMMAND_TIMEOUT_MS};
    std::atomic<uint32_t> m_stallMs{PULL_STALL_TIMEOUT_MS};
    std::atomic<uint32_t> m_leastRate{LEAST_PULL_RATE};
};
