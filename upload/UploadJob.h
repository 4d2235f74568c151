#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CUploadHandleThread;
class ConsoleRunner;

// Thread message from the dialog to a worker: wParam is the job type (or
// JOB_QUIT), lParam the UploadJob.
constexpr uint32_t UM_UPLOAD_JOB = 0x401;
// Notice from a worker to the dialog: wParam 0/1/2 = the job of that type has
// finished, 3 = progress of an upload.
constexpr uint32_t UM_UPLOAD_NOTIFY = 0x402;
constexpr uintptr_t JOB_QUIT = 0x403;

enum UploadJobType : int { JobListDevices = 0, JobUpload = 1, JobDelete = 2 };

// Result codes of a job.
enum UploadResult : int {
    UPLOAD_DONE = 0,
    UPLOAD_NO_DEVICE = 1,
    UPLOAD_LIST_FAILED = 2,
    UPLOAD_TOOL_MISSING = 3,
    UPLOAD_DEVICE_NOT_FOUND = 4,
    UPLOAD_FOLDER_FAILED = 6,
    UPLOAD_DELETE_FAILED = 7,
};

// A file of the device that an upload has brought home: its path on the
// device, the size the device reported, and where it lies here now.
struct HomeFile {
    std::string devicePath;
    uint64_t size = 0;
    std::string localPath;
};

// One job, from the dialog to a worker and back. The dialog owns the record;
// between the thread message and the final notice only the worker touches it.
struct UploadJob {
    CUploadHandleThread* owner = nullptr;
    ConsoleRunner* runner = nullptr;
    int stop = 1;
    int total = 0;
    int done = 0;
    int kind = 0; // 0 = photos, 1 = videos
    int row = 0;
    std::string serial;
    std::string name;
    int type = JobListDevices;
    int result = 0;
    std::vector<std::string>* serials = nullptr; // JobListDevices: filled by the worker
    std::vector<std::string>* names = nullptr;   // JobListDevices: one per serial (the serial when unnamed)
    int waiting = 0; // JobListDevices: devices listed as unauthorized, offline or authorizing
    // JobUpload: the files verified home (filled by the worker); JobDelete:
    // the files to delete (set by the dialog from the device's upload).
    std::vector<HomeFile> files;
};

// A progress notice, by value: it stays valid after the job is gone.
struct UploadProgress {
    int row = 0;
    int kind = 0;
    int done = 0;
    int total = 0;
};
