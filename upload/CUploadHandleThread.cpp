#include "upload/CUploadHandleThread.h"

#include "upload/AdbOutput.h"
#include "upload/ConsoleRunner.h"
#include "upload/DeleteScript.h"
#include "upload/HomeFolder.h"
#include "upload/Manifest.h"
#include "upload/PullHasher.h"
#include "upload/Sha256.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char* const kTool = "adb";
const char* const kPhotos = "Tavoren_photos";
const char* const kVideos = "Tavoren_videos";
// Longest shell line of a delete: older devices take 4096 bytes for the
// whole request.
constexpr size_t kMostShellLine = 3800;

// The device by its transport id when adb gave one, so that a device that
// took over the serial number (a clone, a swap) is never addressed instead.
std::vector<std::string> DeviceCommand(const UploadJob& job, std::initializer_list<std::string> args) {
    std::vector<std::string> argv{kTool};
    if (job.transport.empty())
        argv.insert(argv.end(), {"-s", job.serial});
    else
        argv.insert(argv.end(), {"-t", job.transport});
    argv.insert(argv.end(), args);
    return argv;
}

struct Captured {
    bool started = false;
    int startError = 0;  // why it did not start: ENOENT = no tool
    bool failed = false; // timed out or cancelled
    int exitCode = -1;
    std::string output;
};

Captured Capture(ConsoleRunner& runner, const std::vector<std::string>& argv, uint32_t timeoutMs) {
    Captured captured;
    runner.SetTimeout(timeoutMs);
    if (!runner.Start(argv)) {
        captured.startError = runner.StartError();
        return captured;
    }
    runner.Finish();
    captured.started = true;
    captured.failed = runner.TimedOut() || runner.Cancelled();
    captured.exitCode = runner.ExitCode();
    captured.output = runner.Output();
    return captured;
}

// Length of the valid UTF-8 sequence at `at`; 0 when none starts there.
size_t Utf8Length(const std::string& text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    uint32_t code = 0;
    uint32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// Watches one copy from a thread of its own: reports its progress once a
// second (when the number of files is known) and ends the copy when no new
// bytes have arrived in the local folder for the stall time, or when it has
// run for longer than its time limit (a trickle).
class PullWatcher {
public:
    using Report = std::function<void(const UploadProgress&)>;

    PullWatcher(ConsoleRunner& runner, std::string folder, UploadProgress base, uint32_t stallMs,
                std::chrono::milliseconds limit, Report report)
        : m_runner(runner), m_folder(std::move(folder)), m_base(base), m_stallMs(stallMs), m_limit(limit),
          m_report(std::move(report)) {}
    ~PullWatcher() { Stop(); }
    PullWatcher(const PullWatcher&) = delete;
    PullWatcher& operator=(const PullWatcher&) = delete;

    bool Start() {
        try {
            m_thread = std::thread(&PullWatcher::Run, this);
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    // Ends the watch after one last progress notice.
    void Stop() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_stop = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    bool Stalled() const { return m_stalled; }
    bool TooSlow() const { return m_tooSlow; }

private:
    void Run() {
        using Clock = std::chrono::steady_clock;
        const auto stall = std::chrono::milliseconds(m_stallMs);
        const auto tick = std::chrono::milliseconds(std::clamp<uint32_t>(m_stallMs / 4, 10, 1000));
        HomeFolder::Measure last = HomeFolder::Measured(m_folder);
        Clock::time_point gained = Clock::now();
        Clock::time_point noticed = Clock::now();
        const Clock::time_point deadline = Clock::now() + m_limit;
        std::unique_lock<std::mutex> guard(m_lock);
        for (;;) {
            m_changed.wait_for(guard, tick, [this] { return m_stop; });
            const bool stopping = m_stop;
            guard.unlock();
            const HomeFolder::Measure now = HomeFolder::Measured(m_folder);
            const Clock::time_point time = Clock::now();
            StartWriteback();
            if (!(now == last)) {
                last = now;
                gained = time;
            } else if (!stopping && !m_stalled && time - gained >= stall) {
                m_stalled = true;
                m_runner.Cancel();
            }
            if (!stopping && !m_stalled && !m_tooSlow && time >= deadline) {
                m_tooSlow = true;
                m_runner.Cancel();
            }
            if (m_base.total > 0 && (stopping || time - noticed >= 1s)) {
                noticed = time;
                // Without the tool's per-file lines: the files that have
                // arrived, less the one being written while the copy runs.
                const int arrows = AdbOutput::ParsePull(m_runner.Output()).arrows;
                const uint64_t arrived = stopping || now.files == 0 ? now.files : now.files - 1;
                UploadProgress progress = m_base;
                const uint64_t done = arrows > 0 ? static_cast<uint64_t>(arrows) : arrived;
                progress.done = static_cast<int>(std::min<uint64_t>(done, static_cast<uint64_t>(m_base.total)));
                m_report(progress);
            }
            guard.lock();
            if (stopping)
                return;
        }
    }

    // Starts writing what has arrived to disk while the copy goes on, so that
    // syncing each file afterwards finds little left to write.
    void StartWriteback() {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(m_folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code typeError;
            if (!it->is_regular_file(typeError))
                continue;
            const uint64_t size = it->file_size(typeError);
            uint64_t& started = m_written[it->path().string()];
            if (typeError || size <= started)
                continue;
            const int fd = open(it->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd < 0)
                continue;
            sync_file_range(fd, static_cast<off_t>(started), 0, SYNC_FILE_RANGE_WRITE);
            close(fd);
            started = size;
        }
    }

    ConsoleRunner& m_runner;
    const std::string m_folder;
    std::map<std::string, uint64_t> m_written;
    const UploadProgress m_base;
    const uint32_t m_stallMs;
    const std::chrono::milliseconds m_limit;
    const Report m_report;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_stop = false;
    std::atomic<bool> m_stalled{false};
    std::atomic<bool> m_tooSlow{false};
    std::thread m_thread;
};

// The result for a local write that failed with `error` in `folder`.
int LocalFailure(int error, const std::string& folder) {
    if (error == ENOSPC || error == EDQUOT)
        return UPLOAD_DISK_FULL;
    if (error == EFBIG)
        return UPLOAD_FILE_TOO_LARGE;
    if (error == EROFS || error == EACCES || error == EPERM)
        return UPLOAD_READ_ONLY;
    // The error itself may be lost (a library call): ask the file system.
    struct statvfs disk {};
    if (statvfs(folder.c_str(), &disk) == 0) {
        if (disk.f_flag & ST_RDONLY)
            return UPLOAD_READ_ONLY;
        if (disk.f_bavail == 0)
            return UPLOAD_DISK_FULL;
    }
    if (access(folder.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS))
        return UPLOAD_READ_ONLY;
    return UPLOAD_FOLDER_FAILED;
}

int StartFailure(const Captured& captured) {
    return captured.startError == ENOENT || captured.startError == EACCES ? UPLOAD_TOOL_MISSING : UPLOAD_START_FAILED;
}

// What a device command that started and ended reports about the device.
int DeviceFailure(const Captured& captured) {
    if (captured.failed)
        return UPLOAD_NO_RESPONSE;
    if (captured.output.find("more than one device") != std::string::npos)
        return UPLOAD_SERIAL_SHARED;
    return UPLOAD_DEVICE_NOT_FOUND;
}

// The outcome of one copy, before its files are placed; `missing` is set when
// the device folder does not exist.
int PullResult(const Captured& pull, const PullWatcher& watcher, bool& missing, const std::string& folder) {
    missing = false;
    if (!pull.started)
        return StartFailure(pull);
    if (watcher.TooSlow())
        return UPLOAD_TOO_SLOW;
    if (watcher.Stalled() || pull.failed)
        return UPLOAD_NO_RESPONSE;
    const AdbOutput::Pull report = AdbOutput::ParsePull(pull.output);
    if (pull.exitCode == 128 + SIGXFSZ || pull.output.find("File too large") != std::string::npos)
        return UPLOAD_FILE_TOO_LARGE;
    if (report.localError) {
        if (pull.output.find("No space left") != std::string::npos ||
            pull.output.find("quota exceeded") != std::string::npos)
            return UPLOAD_DISK_FULL;
        if (pull.output.find("Read-only") != std::string::npos ||
            pull.output.find("Permission denied") != std::string::npos)
            return UPLOAD_READ_ONLY;
        return LocalFailure(0, folder);
    }
    if (report.remoteMissing && !report.otherError) {
        missing = true;
        return UPLOAD_DONE;
    }
    for (const char* lost :
         {"no device with transport", "more than one device", "no response", "device offline", "protocol fault"})
        if (pull.output.find(lost) != std::string::npos)
            return DeviceFailure(pull);
    if (AdbOutput::IsDeviceNotFound(pull.output))
        return DeviceFailure(pull);
    if (pull.exitCode > 0 || report.otherError || report.remoteMissing || report.skipped > 0)
        return UPLOAD_COPY_INCOMPLETE;
    return UPLOAD_DONE;
}

// A job's temporary folder, locked for as long as the job uses it, and gone
// with it. Folders of jobs that ended without removing theirs (the program
// was killed) are unlocked, and are removed once they are old enough that no
// job can be just about to lock them.
class WorkFolder {
public:
    explicit WorkFolder(const std::string& parent) {
        RemoveAbandoned(parent);
        std::string pattern = parent + "/job-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            m_error = errno;
            return;
        }
        m_path = pattern;
        m_fd = open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_fd >= 0)
            flock(m_fd, LOCK_EX);
    }
    ~WorkFolder() {
        std::error_code ec;
        if (!m_path.empty())
            fs::remove_all(m_path, ec);
        if (m_fd >= 0)
            close(m_fd);
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const std::string& path() const { return m_path; }
    int error() const { return m_error; }

private:
    static void RemoveAbandoned(const std::string& parent) {
        std::error_code ec;
        const auto oldEnough = fs::file_time_type::clock::now() - std::chrono::minutes(10);
        for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code typeError;
            if (!it->is_directory(typeError) || it->last_write_time(typeError) > oldEnough || typeError)
                continue;
            const int fd = open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0)
                continue;
            if (flock(fd, LOCK_EX | LOCK_NB) == 0)
                fs::remove_all(it->path(), typeError);
            close(fd);
        }
    }

    std::string m_path;
    int m_fd = -1;
    int m_error = 0;
};

struct Hashed {
    std::string hex; // known beforehand, or found here
    int error = 0;
    bool ok = false;
};

// Flushes a file whose hash is already known.
bool SyncFile(const std::string& path, int& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const bool ok = fd >= 0 && fsync(fd) == 0;
    error = ok ? 0 : errno;
    if (fd >= 0)
        close(fd);
    return ok;
}

// Hashes (where no hash is known yet) and syncs files on a few threads at
// once: the file system commits syncs that come together in one go, and the
// hashing shares the processors.
std::vector<Hashed> HashAndSync(const std::vector<std::string>& paths, std::vector<Hashed> results = {}) {
    results.resize(paths.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < paths.size(); i = next++) {
            Hashed& result = results[i];
            result.ok = result.hex.empty() ? Sha256::HashFile(paths[i], true, result.hex, result.error)
                                           : SyncFile(paths[i], result.error);
        }
    };
    {
        std::vector<std::jthread> helpers;
        for (size_t t = 1; t < std::min<size_t>(4, paths.size()); ++t) {
            try {
                helpers.emplace_back(work);
            } catch (const std::system_error&) {
                break; // fewer helpers, same result
            }
        }
        work();
    }
    return results;
}

// "2026-12-07T12:00:00Z"
std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
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

void CUploadHandleThread::RunListDevices(UploadJob& job) {
    ConsoleRunner runner;
    ActiveRunner active(*this, runner);
    const Captured listing = Capture(runner, {kTool, "devices", "-l"}, m_timeoutMs);
    if (!listing.started) {
        job.result = StartFailure(listing);
        Post(JobListDevices, &job);
        return;
    }
    // No server could be reached (a non-zero exit, "cannot connect to
    // daemon"), or the tool hung.
    if (listing.failed || listing.exitCode > 0 || AdbOutput::HasToolError(listing.output)) {
        job.result = UPLOAD_LIST_FAILED;
        Post(JobListDevices, &job);
        return;
    }
    std::vector<AdbOutput::Device> usable;
    for (const AdbOutput::Device& device : AdbOutput::ParseDevices(listing.output)) {
        if (device.state == "device")
            usable.push_back(device);
        else if (device.state == "no permissions")
            ++job.noPermission;
        else if (AdbOutput::IsWaitingState(device.state))
            ++job.waiting;
    }
    for (const AdbOutput::Device& device : usable) {
        if (job.serials)
            job.serials->push_back(device.serial);
        job.transports.push_back(device.transport);
    }
    if (usable.empty()) {
        job.result = UPLOAD_NO_DEVICE;
        Post(JobListDevices, &job);
        return;
    }
    job.result = UPLOAD_DONE;
    for (const AdbOutput::Device& device : usable) {
        UploadJob named;
        named.serial = device.serial;
        named.transport = device.transport;
        const Captured read =
            Capture(runner, DeviceCommand(named, {"shell", "cat", "/data/misc/bluetooth/bt_name"}), m_timeoutMs);
        if (!read.started)
            job.result = StartFailure(read);
        std::string name;
        if (read.started && !read.failed && read.exitCode <= 0)
            name = AdbOutput::ParseName(read.output, NamePrefixes);
        // One name per serial: a device whose name cannot be read goes by its serial number.
        if (job.names)
            job.names->push_back(name.empty() ? device.serial : name);
    }
    Post(JobListDevices, &job);
}

void CUploadHandleThread::RunUpload(UploadJob& job) {
    ConsoleRunner runner;
    ActiveRunner active(*this, runner);
    std::error_code ec;
    const fs::path current = fs::current_path(ec);
    const std::string deviceFolder = (current / SafeFolderName(job.name)).string();
    job.files.clear();
    int result = UPLOAD_FOLDER_FAILED;
    int present = 0;
    if (ec) {
        result = LocalFailure(ec.value(), ".");
    } else if (EnsureDirectory(deviceFolder) != 0) {
        result = LocalFailure(errno, current.string());
    } else {
        result = UPLOAD_DONE;
        for (const char* folder : {kPhotos, kVideos}) {
            job.kind = folder == kPhotos ? 0 : 1;
            bool missing = false;
            result = PullFolder(job, runner, deviceFolder, folder, missing);
            present += missing ? 0 : 1;
            if (result != UPLOAD_DONE)
                break;
        }
        // Only when empty: another device of the same name may be using it.
        fs::remove(deviceFolder + "/tmp", ec);
        if (result == UPLOAD_DONE && present == 0)
            result = UPLOAD_NO_FOLDERS;
        else if (result == UPLOAD_DONE && job.files.empty())
            result = UPLOAD_NOTHING;
        const std::string record = UtcNow() + "\tserial=" + Manifest::Field(job.serial) +
                                   "\ttransport=" + Manifest::Field(job.transport) +
                                   "\tname=" + Manifest::Field(job.name) +
                                   "\tfiles=" + std::to_string(job.files.size()) + "\tresult=" + std::to_string(result);
        const int error = Manifest::Record(deviceFolder, record);
        if (error != 0 && result == UPLOAD_DONE)
            result = LocalFailure(error, deviceFolder);
    }
    job.result = result;
    Send(JobUpload, &job);
}

int CUploadHandleThread::PullFolder(UploadJob& job, ConsoleRunner& runner, const std::string& deviceFolder,
                                    const std::string& folder, bool& missing) {
    const std::string remote = "/sdcard/" + folder;
    // A temporary folder of this job's own: no other job (the same device
    // placed again, a clone) ever shares it.
    if (EnsureDirectory(deviceFolder + "/tmp") != 0)
        return LocalFailure(errno, deviceFolder);
    const WorkFolder workFolder(deviceFolder + "/tmp");
    if (workFolder.path().empty())
        return LocalFailure(workFolder.error(), deviceFolder + "/tmp");
    const std::string& work = workFolder.path();
    // The copy goes to a folder that does not exist yet, which every version
    // of the tool fills with the device folder's contents.
    const std::string copied = work + "/" + folder;

    // For progress and the time limit only: what is copied is what arrives.
    const Captured listing = Capture(runner, DeviceCommand(job, {"shell", "ls", "-laR", remote}), m_timeoutMs);
    const AdbOutput::Totals totals = AdbOutput::ListingTotals(listing.output);
    job.total = totals.files;
    const auto limit = std::chrono::milliseconds(m_stallMs) +
                       std::chrono::milliseconds(totals.bytes * 1000 / std::max<uint32_t>(m_leastRate, 1));
    PullWatcher watcher(runner, copied, UploadProgress{job.ticket, job.row, job.kind, 0, totals.files}, m_stallMs,
                        limit, [this](const UploadProgress& progress) { PostProgress(progress); });
    PullHasher hasher(work);
    hasher.Start();
    job.stop = watcher.Start() ? 0 : 1;
    const Captured pull = Capture(runner, DeviceCommand(job, {"pull", remote + "/", copied}), 0);
    watcher.Stop();
    hasher.Stop();
    job.stop = 1;

    // A cancelled, ended or failed copy leaves nothing behind, not even the
    // half-written file of a killed tool.
    const int result = PullResult(pull, watcher, missing, deviceFolder);
    if (result != UPLOAD_DONE || missing)
        return result;
    const AdbOutput::Pull report = AdbOutput::ParsePull(pull.output);
    const uint64_t arrived = HomeFolder::Measured(copied).files;
    if ((report.pulled >= 0 && static_cast<uint64_t>(report.pulled) != arrived) ||
        (report.pulled < 0 && report.arrows > 0 && static_cast<uint64_t>(report.arrows) != arrived))
        return UPLOAD_COPY_INCOMPLETE;

    // Taken before the files move, which changes their change times.
    const std::map<std::string, std::string> early = hasher.Unchanged(copied);
    const std::string target = deviceFolder + "/" + folder;
    std::map<std::string, std::string> placed;
    if (EnsureDirectory(target) != 0)
        return LocalFailure(errno, deviceFolder);
    if (!HomeFolder::MoveIn(copied, target, placed))
        return LocalFailure(errno, target);

    // Home means on disk: every file, every folder that took one, then the
    // manifest that lists them.
    std::vector<std::string> paths;
    std::vector<Hashed> known;
    for (const auto& [path, localPath] : placed) {
        paths.push_back(localPath);
        const auto found = early.find(path);
        known.push_back({found == early.end() ? std::string() : found->second});
    }
    const std::vector<Hashed> hashed = HashAndSync(paths, std::move(known));
    std::vector<Manifest::Entry> entries;
    std::set<std::string> folders = {target, deviceFolder};
    size_t i = 0;
    for (const auto& [path, localPath] : placed) {
        const Hashed& hash = hashed[i++];
        if (!hash.ok)
            return LocalFailure(hash.error, target);
        std::error_code ec;
        const uint64_t size = fs::file_size(localPath, ec);
        job.files.push_back({remote + "/" + path, size, localPath, hash.hex});
        entries.push_back({hash.hex, localPath.substr(deviceFolder.size() + 1)});
        for (fs::path parent = fs::path(localPath).parent_path(); parent.string().size() > target.size();
             parent = parent.parent_path())
            folders.insert(parent.string());
    }
    for (const std::string& synced : folders)
        if (const int error = Manifest::SyncFolder(synced))
            return LocalFailure(error, synced);
    if (const int error = Manifest::Append(deviceFolder, entries))
        return LocalFailure(error, deviceFolder);
    return UPLOAD_DONE;
}

void CUploadHandleThread::RunDelete(UploadJob& job) {
    ConsoleRunner runner;
    ActiveRunner active(*this, runner);
    // Only files whose copy at home is, now, on disk with the hash the upload
    // recorded are offered to the device's check.
    std::vector<DeleteScript::Item> items;
    std::vector<HomeFile> offered;
    std::vector<HomeFile> kept;
    bool homeChanged = false;
    std::vector<std::string> paths;
    for (const HomeFile& file : job.files)
        paths.push_back(file.localPath);
    const std::vector<Hashed> hashed = HashAndSync(paths);
    for (size_t i = 0; i < job.files.size(); ++i) {
        const HomeFile& file = job.files[i];
        const bool same = hashed[i].ok && hashed[i].hex == file.sha256;
        if (!same || file.devicePath.rfind("/sdcard/", 0) != 0) {
            homeChanged = true;
            kept.push_back(file);
            continue;
        }
        items.push_back({file.devicePath.substr(8), file.size, file.sha256});
        offered.push_back(file);
    }
    job.kept = 0;
    const int result = DeleteFiles(runner, job, items, offered, kept);
    job.files = std::move(kept);
    if (result != UPLOAD_DONE)
        job.result = result;
    else if (job.kept > 0)
        job.result = UPLOAD_CHANGED_ON_DEVICE;
    else if (homeChanged)
        job.result = UPLOAD_CHANGED_AT_HOME;
    else
        job.result = job.files.empty() ? UPLOAD_DONE : UPLOAD_DELETE_FAILED;
    Send(JobDelete, &job);
}

int CUploadHandleThread::DeleteFiles(ConsoleRunner& runner, UploadJob& job,
                                     const std::vector<DeleteScript::Item>& items, const std::vector<HomeFile>& offered,
                                     std::vector<HomeFile>& kept) {
    int result = UPLOAD_DONE;
    size_t next = 0;
    while (next < items.size()) {
        const size_t first = next;
        size_t line = DeleteScript::HeadLength();
        do {
            line += DeleteScript::ItemLength(items[next++]);
        } while (next < items.size() && line + DeleteScript::ItemLength(items[next]) <= kMostShellLine);
        const Captured check =
            result == UPLOAD_DONE
                ? Capture(runner, DeviceCommand(job, {"shell", DeleteScript::Build(items, first, next - first)}),
                          m_timeoutMs)
                : Captured{};
        // Only the device's answer per file counts, never the exit code (old
        // devices always give 0) nor other lines (linker warnings).
        const DeleteScript::Answers answers = DeleteScript::Parse(check.output);
        if (result == UPLOAD_DONE) {
            if (!check.started)
                result = StartFailure(check);
            else if (answers.noSha256)
                result = UPLOAD_NO_SHA256;
            else if (answers.byIndex.empty() && (check.failed || AdbOutput::HasToolError(check.output)))
                result = DeviceFailure(check);
        }
        for (size_t i = first; i < next; ++i) {
            auto answer = answers.byIndex.find(i);
            const DeleteScript::Answer said =
                answer == answers.byIndex.end() ? DeleteScript::Answer::None : answer->second;
            if (said == DeleteScript::Answer::Gone || said == DeleteScript::Answer::Missing)
                continue;
            if (said == DeleteScript::Answer::Changed || said == DeleteScript::Answer::Aside)
                ++job.kept;
            kept.push_back(offered[i]);
        }
    }
    return result;
}

std::string CUploadHandleThread::SafeFolderName(const std::string& name) {
    const size_t limit = 200; // well inside the file system's limit on one name
    std::string safe;
    size_t at = 0;
    while (at < name.size()) {
        const auto byte = static_cast<unsigned char>(name[at]);
        size_t length = Utf8Length(name, at);
        std::string unit;
        if (length == 0 || byte == '%') {
            char escape[4];
            std::snprintf(escape, sizeof(escape), "%%%02X", byte);
            unit = escape;
            length = 1;
        } else if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7f) {
            unit = "_";
        } else {
            unit = name.substr(at, length);
        }
        // Cut only between whole characters and escapes.
        if (safe.size() + unit.size() > limit)
            break;
        safe += unit;
        at += length;
    }
    for (size_t dots = safe.find(".."); dots != std::string::npos; dots = safe.find("..", dots)) {
        safe[dots] = '_';
        safe[dots + 1] = '_';
    }
    if (safe.empty() || safe == ".")
        safe.assign(1, '_');
    return safe;
}
