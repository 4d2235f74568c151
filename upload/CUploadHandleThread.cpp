#include "CUploadHandleThread.h"

#include "ConsoleRunner.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <set>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

const char* const kTool = "adb";
const char* const kPhotos = "Tavoren_photos";
const char* const kVideos = "Tavoren_videos";

std::vector<std::string> DevicePrefix(const std::string& serial) {
    return {kTool, "-s", serial};
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Two devices with one name share one local folder (and its temporary
// folder); their uploads into it take turns so neither removes the other's
// files.
class FolderClaim {
public:
    FolderClaim(const std::string& folder, const std::atomic<bool>& cancelled) : m_folder(folder) {
        std::unique_lock<std::mutex> guard(Lock());
        while (Busy().count(folder) != 0) {
            if (cancelled)
                return;
            Changed().wait_for(guard, std::chrono::milliseconds(100));
        }
        Busy().insert(folder);
        m_held = true;
    }
    ~FolderClaim() {
        if (!m_held)
            return;
        std::lock_guard<std::mutex> guard(Lock());
        Busy().erase(m_folder);
        Changed().notify_all();
    }
    FolderClaim(const FolderClaim&) = delete;
    FolderClaim& operator=(const FolderClaim&) = delete;
    bool Held() const { return m_held; }

private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::condition_variable& Changed() {
        static std::condition_variable changed;
        return changed;
    }
    static std::set<std::string>& Busy() {
        static std::set<std::string> busy;
        return busy;
    }
    std::string m_folder;
    bool m_held = false;
};

// Regular files (and anything else that is not a folder) below `folder`.
size_t CountFiles(const fs::path& folder) {
    std::error_code ec;
    size_t count = 0;
    fs::recursive_directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_directory(typeError))
            ++count;
    }
    return count;
}

// Moves every entry of `from` into `to`, replacing files of the same name;
// folders that exist on both sides are merged. False when anything stayed.
bool MoveContents(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    if (ec)
        return false;
    bool ok = true;
    for (const fs::directory_entry& entry : entries) {
        fs::path target = to / entry.path().filename();
        std::error_code typeError;
        if (entry.is_directory(typeError) && !entry.is_symlink(typeError) && fs::is_directory(target, typeError)) {
            if (MoveContents(entry.path(), target))
                fs::remove(entry.path(), typeError);
            else
                ok = false;
            continue;
        }
        std::error_code moveError;
        fs::rename(entry.path(), target, moveError);
        if (moveError)
            ok = false;
    }
    return ok;
}

} // namespace

// Makes `runner` the worker's current runner for as long as it lives, so that
// Cancel() reaches it.
class ActiveRunner {
public:
    ActiveRunner(CUploadHandleThread& owner, ConsoleRunner& runner) : m_owner(owner) {
        std::lock_guard<std::mutex> guard(m_owner.m_runnerLock);
        m_owner.m_current = &runner;
        if (m_owner.m_cancelled)
            runner.Cancel();
    }
    ~ActiveRunner() {
        std::lock_guard<std::mutex> guard(m_owner.m_runnerLock);
        m_owner.m_current = nullptr;
    }
    ActiveRunner(const ActiveRunner&) = delete;
    ActiveRunner& operator=(const ActiveRunner&) = delete;

private:
    CUploadHandleThread& m_owner;
};

CUploadHandleThread::CUploadHandleThread() {
    const char* prefixes[10] = {"KT", "RV", "PW", "J", "", "", "", "", "", ""};
    for (int i = 0; i < 10; ++i)
        NamePrefixes[i] = prefixes[i];
    OnMessage(UM_UPLOAD_JOB, [this](uintptr_t wParam, intptr_t lParam) { OnUploadJob(wParam, lParam); });
}

CUploadHandleThread::~CUploadHandleThread() {
    Cancel();
    Quit();
}

void CUploadHandleThread::SetNotifySink(UploadNotifySink* sink) {
    std::lock_guard<std::mutex> guard(m_sinkLock);
    m_sink = sink;
}

void CUploadHandleThread::Cancel() {
    m_cancelled = true;
    std::lock_guard<std::mutex> guard(m_runnerLock);
    if (m_current)
        m_current->Cancel();
}

void CUploadHandleThread::Post(uintptr_t wParam, UploadJob* job) {
    std::lock_guard<std::mutex> guard(m_sinkLock);
    if (m_sink)
        m_sink->PostNotify(wParam, job);
}

void CUploadHandleThread::Send(uintptr_t wParam, UploadJob* job) {
    std::lock_guard<std::mutex> guard(m_sinkLock);
    if (m_sink)
        m_sink->SendNotify(wParam, job);
}

void CUploadHandleThread::PostProgress(const UploadProgress& progress) {
    std::lock_guard<std::mutex> guard(m_sinkLock);
    if (m_sink)
        m_sink->PostProgress(progress);
}

void CUploadHandleThread::OnUploadJob(uintptr_t wParam, intptr_t lParam) {
    if (wParam == JOB_QUIT) {
        PostQuitMessage();
        return;
    }
    auto* job = reinterpret_cast<UploadJob*>(lParam);
    if (!job)
        return;
    switch (wParam) {
    case JobListDevices:
        RunListDevices(*job);
        break;
    case JobUpload:
        RunUpload(*job);
        break;
    case JobDelete:
        RunDelete(*job);
        break;
    default:
        break;
    }
}

bool CUploadHandleThread::RunCaptured(ConsoleRunner& runner, const std::vector<std::string>& argv, uint32_t timeoutMs,
                                      std::string& output, bool& failed) {
    output.clear();
    failed = false;
    runner.SetTimeout(timeoutMs);
    if (!runner.Start(argv))
        return false;
    runner.Finish();
    output = runner.Output();
    failed = runner.TimedOut() || runner.Cancelled();
    return true;
}

void CUploadHandleThread::RunListDevices(UploadJob& job) {
    ConsoleRunner runner;
    ActiveRunner active(*this, runner);
    std::string output;
    bool failed = false;
    if (!RunCaptured(runner, {kTool, "devices"}, m_timeoutMs, output, failed) || failed) {
        // A listing that timed out counts as one that could not be run.
        job.result = UPLOAD_LIST_FAILED;
        Post(JobListDevices, &job);
        return;
    }
    std::vector<std::string> serials;
    for (const std::string& line : SplitText(output, "\r\n")) {
        std::vector<std::string> fields = SplitText(line, "\t");
        if (fields.size() >= 2 && fields[1] == "device")
            serials.push_back(fields[0]);
    }
    if (job.serials)
        *job.serials = serials;
    if (serials.empty()) {
        job.result = UPLOAD_NO_DEVICE;
        Post(JobListDevices, &job);
        return;
    }
    for (const std::string& serial : serials) {
        std::vector<std::string> argv = DevicePrefix(serial);
        argv.insert(argv.end(), {"shell", "cat", "/data/misc/bluetooth/bt_name"});
        if (!RunCaptured(runner, argv, m_timeoutMs, output, failed)) {
            job.result = UPLOAD_TOOL_MISSING;
            Send(JobListDevices, &job);
            return;
        }
        if (failed || IsDeviceNotFound(output)) {
            job.result = UPLOAD_DEVICE_NOT_FOUND;
            Send(JobListDevices, &job);
            return;
        }
        for (const std::string& line : SplitText(output, "\r\n")) {
            // The tool's own messages are not names: the server start-up
            // notice and cat's complaint about a missing file.
            if (StartsWith(line, "* daemon ") || StartsWith(line, "cat: /data/misc/bluetooth/bt_name"))
                continue;
            if (AcceptName(line)) {
                if (job.names)
                    job.names->push_back(line);
                break;
            }
        }
    }
    job.result = UPLOAD_DONE;
    Post(JobListDevices, &job);
}

void CUploadHandleThread::RunUpload(UploadJob& job) {
    ConsoleRunner runner;
    ActiveRunner active(*this, runner);
    std::error_code ec;
    fs::path current = fs::current_path(ec);
    std::string deviceFolder = (current / SafeFolderName(job.name)).string();
    if (ec || EnsureDirectory(deviceFolder) != 0) {
        job.result = UPLOAD_FOLDER_FAILED;
        Send(JobUpload, &job);
        return;
    }
    FolderClaim claim(deviceFolder, m_cancelled);
    if (!claim.Held()) {
        job.result = UPLOAD_FOLDER_FAILED;
        Send(JobUpload, &job);
        return;
    }
    job.kind = 0;
    int result = PullFolder(job, runner, deviceFolder, kPhotos);
    if (result == 0) {
        job.kind = 1;
        result = PullFolder(job, runner, deviceFolder, kVideos);
    }
    job.result = result;
    Send(JobUpload, &job);
}

int CUploadHandleThread::PullFolder(UploadJob& job, ConsoleRunner& runner, const std::string& deviceFolder,
                                    const std::string& folder) {
    const std::string tmp = deviceFolder + "/tmp";
    if (EnsureDirectory(tmp) != 0)
        return UPLOAD_FOLDER_FAILED;

    std::vector<std::string> listArgv = DevicePrefix(job.serial);
    listArgv.insert(listArgv.end(), {"shell", "ls", "-l", "/sdcard/" + folder + "/*"});
    std::string output;
    bool failed = false;
    int count = 0;
    if (RunCaptured(runner, listArgv, m_timeoutMs, output, failed) && !failed) {
        for (const std::string& line : SplitText(output, "\r\n"))
            if (line[0] == '-')
                ++count;
    }

    // The watcher reports once a second: the "->" lines the tool prints per
    // file, or, when it prints none (Debian's adb into a pipe), the files that
    // have fully arrived in the temporary folder.
    struct WatchState {
        std::mutex lock;
        std::condition_variable changed;
        bool stop = false;
        std::atomic<bool> copying{true};
    } state;
    std::thread watcher;
    if (count > 0) {
        job.total = count;
        job.runner = &runner;
        job.stop = 0;
        job.owner = this;
        job.done = 0;
        const UploadProgress base{job.row, job.kind, 0, count};
        try {
            watcher = std::thread([this, &state, &runner, &job, base, tmp] {
                std::unique_lock<std::mutex> guard(state.lock);
                while (!state.stop) {
                    state.changed.wait_for(guard, std::chrono::milliseconds(1000), [&] { return state.stop; });
                    guard.unlock();
                    int arrows = 0;
                    for (const std::string& line : SplitText(runner.Output(), "\r\n")) {
                        size_t at = line.find("->");
                        if (at != std::string::npos && at > 0)
                            ++arrows;
                    }
                    int done = arrows;
                    if (arrows == 0) {
                        // The file being written now has not arrived yet.
                        size_t files = CountFiles(tmp);
                        if (state.copying && files > 0)
                            --files;
                        done = static_cast<int>(files);
                    }
                    if (done > base.total)
                        done = base.total;
                    job.done = done;
                    UploadProgress progress = base;
                    progress.done = done;
                    PostProgress(progress);
                    guard.lock();
                }
            });
        } catch (const std::system_error&) {
            job.stop = 1;
        }
    }

    std::vector<std::string> pullArgv = DevicePrefix(job.serial);
    pullArgv.insert(pullArgv.end(), {"pull", "/sdcard/" + folder + "/", tmp});
    RunCaptured(runner, pullArgv, 0, output, failed);
    state.copying = false;

    if (watcher.joinable()) {
        {
            std::lock_guard<std::mutex> guard(state.lock);
            state.stop = true;
            job.stop = 1;
        }
        state.changed.notify_all();
        watcher.join();
    }

    const std::string target = deviceFolder + "/" + folder;
    if (EnsureDirectory(target) != 0)
        return UPLOAD_FOLDER_FAILED;
    const std::string source = FindInnermostFolder(tmp);
    bool moved = MoveContents(source, target);
    // The temporary folder goes only when nothing of the copy is left in it.
    if (!moved || CountFiles(tmp) != 0)
        return UPLOAD_FOLDER_FAILED;
    std::error_code ec;
    fs::remove_all(tmp, ec);
    return UPLOAD_DONE;
}

void CUploadHandleThread::RunDelete(UploadJob& job) {
    ConsoleRunner runner;
    ActiveRunner active(*this, runner);
    std::vector<std::string> argv = DevicePrefix(job.serial);
    argv.insert(argv.end(), {"shell", "rm", "-rf", "/sdcard/Tavoren_photos/*", "/sdcard/Tavoren_videos/*"});
    std::string output;
    bool failed = false;
    if (!RunCaptured(runner, argv, m_timeoutMs, output, failed))
        job.result = UPLOAD_TOOL_MISSING;
    else if (failed || IsDeviceNotFound(output))
        job.result = UPLOAD_DEVICE_NOT_FOUND;
    else if (!output.empty() && output.find("exit") == std::string::npos)
        job.result = UPLOAD_DELETE_FAILED;
    else
        job.result = UPLOAD_DONE;
    Send(JobDelete, &job);
}

std::vector<std::string> CUploadHandleThread::SplitText(const std::string& text, const std::string& separators) {
    std::vector<std::string> pieces;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(separators, pos);
        if (end == std::string::npos)
            end = text.size();
        if (end > pos)
            pieces.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return pieces;
}

std::string CUploadHandleThread::FindInnermostFolder(const std::string& folder) {
    fs::path current = folder;
    for (;;) {
        std::error_code ec;
        fs::directory_iterator it(current, ec), end;
        if (ec || it == end)
            return current.string();
        fs::directory_entry only = *it;
        it.increment(ec);
        std::error_code typeError;
        if (ec || it != end || !only.is_directory(typeError) || only.is_symlink(typeError))
            return current.string();
        current = only.path();
    }
}

std::string CUploadHandleThread::SafeFolderName(const std::string& name) {
    std::string safe;
    safe.reserve(name.size());
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7f)
            safe.push_back('_');
        else
            safe.push_back(c);
    }
    for (size_t at = safe.find(".."); at != std::string::npos; at = safe.find("..", at)) {
        safe[at] = '_';
        safe[at + 1] = '_';
    }
    // Stay well inside the file system's limit on one name, cutting at a
    // character boundary of the UTF-8 text.
    const size_t limit = 200;
    if (safe.size() > limit) {
        size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(safe[cut]) & 0xC0) == 0x80)
            --cut;
        safe.resize(cut);
    }
    if (safe.empty() || safe == ".")
        safe.assign(1, '_');
    return safe;
}

bool CUploadHandleThread::IsDeviceNotFound(const std::string& output) {
    if (output.find("error: device not found") != std::string::npos)
        return true;
    // Newer tools name the device: "error: device 'SERIAL' not found".
    for (const std::string& line : SplitText(output, "\r\n")) {
        size_t open = line.find("device '");
        if (line.find("error") != std::string::npos && open != std::string::npos &&
            line.find("' not found", open + 8) != std::string::npos)
            return true;
    }
    return false;
}

bool CUploadHandleThread::AcceptName(const std::string& line) const {
    for (const std::string& prefix : NamePrefixes) {
        if (prefix.size() > line.size())
            continue;
        if (line.compare(0, prefix.size(), prefix) != 0)
            return true;
    }
    return false;
}
