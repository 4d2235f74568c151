#pragma once

#include "MessageThread.h"
#include "UploadJob.h"
#include "UploadNotifySink.h"

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
    // commands; the copy has none (it can be cancelled).
    void SetCommandTimeout(uint32_t milliseconds) { m_timeoutMs = milliseconds; }
    static constexpr uint32_t COMMAND_TIMEOUT_MS = 30000;

    void Cancel();

    // Cuts `text` at every character of `separators`; empty pieces are dropped.
    static std::vector<std::string> SplitText(const std::string& text, const std::string& separators);

    // Where the copied files lie inside `folder`: while a folder's only entry
    // is a folder, go into it.
    static std::string FindInnermostFolder(const std::string& folder);

    // A device-given name turned into a name for one local folder: no "/",
    // "\", "..", control characters; never empty, never "." or "..".
    static std::string SafeFolderName(const std::string& name);

    // True when the tool's output says that the addressed device is gone.
    static bool IsDeviceNotFound(const std::string& output);

    // The name filter over NamePrefixes.
    bool AcceptName(const std::string& line) const;

    std::string NamePrefixes[10];

private:
    void OnUploadJob(uintptr_t wParam, intptr_t lParam);
    void RunListDevices(UploadJob& job);
    void RunUpload(UploadJob& job);
    void RunDelete(UploadJob& job);
    int PullFolder(UploadJob& job, ConsoleRunner& runner, const std::string& deviceFolder, const std::string& folder);

    // Starts and finishes one captured command; false when it could not start.
    bool RunCaptured(ConsoleRunner& runner, const std::vector<std::string>& argv, uint32_t timeoutMs,
                     std::string& output, bool& failed);

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
};
