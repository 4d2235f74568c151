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
    UPLOAD_DELETE_FAILED = 7,      // the device kept files it was asked to remove
    UPLOAD_NOTHING = 8,            // the media folders are there and hold no file
    UPLOAD_NO_FOLDERS = 9,         // neither media folder can be seen (a locked device)
    UPLOAD_DISK_FULL = 10,         // the local disk is full
    UPLOAD_FILE_TOO_LARGE = 11,    // a file is larger than the local disk takes
    UPLOAD_READ_ONLY = 12,         // the local folder cannot be written
    UPLOAD_NO_RESPONSE = 13,       // the tool did not answer in time
    UPLOAD_TOO_SLOW = 14,          // a copy went on far longer than its size allows
    UPLOAD_SERIAL_SHARED = 15,     // more than one device has this serial number
    UPLOAD_START_FAILED = 16,      // a command could not be started (no resources)
    UPLOAD_COPY_INCOMPLETE = 17,   // the tool did not bring every file home
    UPLOAD_NO_SHA256 = 18,         // the device cannot hash its files: none deleted
    UPLOAD_CHANGED_ON_DEVICE = 19, // files changed on the device since the upload: kept
    UPLOAD_CHANGED_AT_HOME = 20,   // local copies missing or changed: their originals kept
};

// A file of the device that an upload has brought home: its path on the
// device, the size the device reported, and where it lies here now.
struct HomeFile {
    std::string devicePath;
    uint64_t size = 0;
    std::string localPath;
    std::string sha256; // of the local copy, as synced to disk
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
    std::string transport; // adb's transport id of the device ("" = unknown: by serial only)
    uint64_t ticket = 0;   // the dialog's placement of the device in its row
    std::string name;
    int type = JobListDevices;
    int result = 0;
    std::vector<std::string>* serials = nullptr; // JobListDevices: filled by the worker
    std::vector<std::string>* names = nullptr;   // JobListDevices: one per serial (the serial when unnamed)
    std::vector<std::string> transports;         // JobListDevices: one per serial
    int waiting = 0;      // JobListDevices: devices listed as unauthorized, offline or authorizing
    int noPermission = 0; // JobListDevices: devices listed with "no permissions"
    int kept = 0;         // JobDelete: files left on the device because they changed
    // JobUpload: the files verified home (filled by the worker); JobDelete:
    // the files to delete (set by the dialog from the device's upload).
    std::vector<HomeFile> files;
};

// A progress notice, by value: it stays valid after the job is gone.
struct UploadProgress {
    uint64_t ticket = 0;
    int row = 0;
    int kind = 0;
    int done = 0;
    int total = 0;
};
