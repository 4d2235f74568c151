#pragma once

#include "platform/MessageThread.h"
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
// An upload succeeds only when every file the device listed lies in the
// local folder with the listed size; it never replaces a local file and never
// moves in anything from a copy that failed. A delete removes exactly the
// files an upload verified and that are still there.
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
    int PullFolder(UploadJob& job, ConsoleRunner& runner, const std::string& deviceFolder, const std::string& folder);
    int DeleteFiles(ConsoleRunner& runner, const std::string& serial, const std::vector<std::string>& paths);

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
};
