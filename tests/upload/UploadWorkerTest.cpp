#include "tests/upload/FakeAdbFixture.h"
#include "upload/AdbOutput.h"
#include "upload/CUploadHandleThread.h"
#include "upload/PullHasher.h"
#include "upload/Sha256.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

// Collects the worker's notices as the dialog would see them. The jobs stay
// with the test, which reads them after.
class RecordingSink : public UploadNotifySink {
public:
    void PostNotify(uintptr_t, UploadJob* job) override { Record(job); }
    void SendNotify(uintptr_t, UploadJob* job) override { Record(job); }
    void PostProgress(const UploadProgress& notice) override {
        std::lock_guard<std::mutex> guard(m_lock);
        progress.push_back(notice);
    }

    // Waits (up to 60 s) for the next finished job.
    UploadJob& Next() {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_changed.wait_for(guard, 60s, [this] { return !m_done.empty(); }))
            throw std::runtime_error("no notice");
        UploadJob* job = m_done.front();
        m_done.erase(m_done.begin());
        return *job;
    }
    std::vector<UploadProgress> progress; // read once the job has been reported

private:
    void Record(UploadJob* job) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_done.push_back(job);
        m_changed.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<UploadJob*> m_done;
};

class UploadWorker : public ::testing::Test {
protected:
    void SetUp() override {
        worker.SetNotifySink(&sink);
        ASSERT_TRUE(worker.CreateThread());
    }
    void TearDown() override { worker.Quit(); }

    UploadJob* NewJob(int type, const std::string& serial = "S1", int row = 0) {
        jobs.push_back(std::make_unique<Job>());
        Job& job = *jobs.back();
        job.type = type;
        job.row = row;
        job.serial = serial;
        job.name = "WEAR_One";
        job.serials = &job.serialList;
        job.names = &job.nameList;
        return &job;
    }
    UploadJob& Run(UploadJob* job) {
        EXPECT_TRUE(worker.PostThreadMessage(UM_UPLOAD_JOB, job->type, reinterpret_cast<intptr_t>(job)));
        return sink.Next();
    }
    UploadJob& Upload() { return Run(NewJob(JobUpload)); }
    int Delete(const std::vector<HomeFile>& files) {
        UploadJob* job = NewJob(JobDelete);
        job->files = files;
        return Run(job).result;
    }
    std::string Photos() const { return adb.work() + "/WEAR_One/Tavoren_photos"; }
    int ManifestLines() const {
        std::ifstream in(adb.work() + "/WEAR_One/MANIFEST.sha256");
        return static_cast<int>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
    }
    // The exit status of `sha256sum -c` of the manifest, run in its folder.
    int CheckManifest() const {
        const std::string command = "cd '" + adb.work() + "/WEAR_One' && sha256sum --quiet -c MANIFEST.sha256";
        return WEXITSTATUS(std::system(command.c_str()));
    }

    FakeAdbFixture adb; // before the worker: its folders outlive the worker's jobs
    RecordingSink sink;
    CUploadHandleThread worker;
    struct Job : UploadJob {
        Strings serialList, nameList;
    };
    std::vector<std::unique_ptr<Job>> jobs;
};

} // namespace

// Both listings of adb: a device is its serial and its transport, whatever
// the padding; "no permissions" is a state of its own, with blanks.
TEST(AdbOutput, DeviceLines) {
    const std::string output = "List of devices attached\n"
                               "S1                     device usb:1-1 product:p model:M device:d transport_id:3\n"
                               "S1                     device usb:1-2 product:p model:M device:d transport_id:4\r\n"
                               "????????????           no permissions (user in plugdev group; are your udev rules "
                               "wrong?); see [http://x/y] usb:1-3 transport_id:5\n"
                               "U2\tunauthorized\n* daemon started successfully\n";
    Strings got;
    for (const AdbOutput::Device& device : AdbOutput::ParseDevices(output))
        got.push_back(device.serial + "|" + device.state + "|" + device.transport);
    EXPECT_EQ(got, (Strings{"S1|device|3", "S1|device|4", "????????????|no permissions|5", "U2|unauthorized|"}));
}

// A local failure is told from a device-side one; files the tool skipped are
// not home.
TEST(AdbOutput, PullReports) {
    struct Case {
        std::string output;
        int pulled, skipped;
        bool local, other;
    } cases[] = {
        {"/sdcard/P/: 1 file pulled. 3 files skipped.\n", 1, 3, false, false},
        {"adb: error: failed to create directory 't': Permission denied\n", -1, 0, true, false},
        {"adb: error: failed to stat remote object '/sdcard/P/': Permission denied\n", -1, 0, false, true},
        {"adb: error: failed to copy 'a' to 'b': remote No space left on device\n", -1, 0, false, true},
    };
    for (const Case& c : cases) {
        AdbOutput::Pull r = AdbOutput::ParsePull(c.output);
        EXPECT_EQ(std::make_tuple(r.pulled, r.skipped, r.localError, r.otherError),
                  std::make_tuple(c.pulled, c.skipped, c.local, c.other))
            << c.output;
    }
}

// The hashes taken while a copy runs are trusted only for files that stayed
// exactly as they were hashed; everything else is hashed again afterwards.
TEST(PullHasher, VouchesOnlyForFilesUnchangedSinceTheyWereHashed) {
    TempDir work;
    const fs::path copied = work.path() / "Tavoren_photos";
    PullHasher hasher(work.path().string());
    ASSERT_TRUE(hasher.Start());
    fs::create_directories(copied / "deep" / "er"); // made after the watch began, as the tool does
    WriteFile(copied / "a.jpg", {'a', 'b', 'c'});
    WriteFile(copied / "deep" / "er" / ".hidden", {'x'});
    WriteFile(copied / "grown.jpg", {'1'});
    WriteFile(copied / "moved.jpg", {'m'});
    hasher.Stop();
    std::ofstream(copied / "grown.jpg", std::ios::app) << "2";
    fs::rename(copied / "moved.jpg", copied / "moved-2.jpg");
    const std::map<std::string, std::string> hashes = hasher.Unchanged(copied.string());
    EXPECT_EQ(hashes, (std::map<std::string, std::string>{{"a.jpg", Sha256::Hex("abc")},
                                                          {"deep/er/.hidden", Sha256::Hex("x")}}));
}

TEST(UploadText, SafeFolderNames) {
    for (const auto& [name, safe] : std::vector<std::pair<std::string, std::string>>{
             {"a\\b/c\td\x7f", "a_b_c_d_"},
             {"..", "__"},
             {".", "_"},
             {"", "_"},
             {"手表", "手表"},
             {"WEAR_\xB2\xE2\xCA\xD4", "WEAR_%B2%E2%CA%D4"}, // GBK bytes are not UTF-8
             {"50%B2", "50%25B2"},                           // so no name can pose as an escape
         })
        EXPECT_EQ(CUploadHandleThread::SafeFolderName(name), safe);
    // Cut at 200 bytes between whole units: 3 bytes of a character, 3 of an escape.
    std::string longName;
    for (int i = 0; i < 100; ++i)
        longName += "表\xB2";
    EXPECT_EQ(CUploadHandleThread::SafeFolderName(longName).substr(186), "表%B2表%B2");
}

// Fixture files (e.g. a device's "dev/S1/bt_name") and what the listing finds.
struct Listing {
    const char* fault;
    std::vector<std::pair<std::string, std::string>> files;
    int result;
    Strings serials = {}, names = {};
    int waiting = 0;
    int noPermission = 0;
};

void PrintTo(const Listing& row, std::ostream* os) {
    *os << row.fault;
}

class ListingTest : public UploadWorker, public ::testing::WithParamInterface<Listing> {};

TEST_P(ListingTest, PairsEachSerialWithItsOwnName) {
    worker.SetCommandTimeout(1000);
    for (const auto& [file, content] : GetParam().files)
        adb.Write(file, content);
    UploadJob& job = Run(NewJob(JobListDevices));
    EXPECT_EQ(job.result, GetParam().result);
    EXPECT_EQ(*job.serials, GetParam().serials);
    EXPECT_EQ(*job.names, GetParam().names);
    EXPECT_EQ(job.waiting, GetParam().waiting);
    EXPECT_EQ(job.noPermission, GetParam().noPermission);
    EXPECT_TRUE(adb.HangsEnded());
}

// NamesPairWithSerials: the server's start messages are neither devices nor
// names; S2's name cannot be read (it goes by its serial and shifts no other);
// S3 went offline after the listing (its error is no name); S4's GBK bytes
// are passed on as they are; S5 answers as an old device does (a linker
// warning first). Devices that cannot be used yet are counted, not dropped.
INSTANTIATE_TEST_SUITE_P(
    Devices, ListingTest,
    ::testing::Values(Listing{"NoDevice", {}, 1}, Listing{"ServerCannotStart", {{"daemon", "fail"}}, 2},
                      Listing{"HangingServer", {{"hang", ""}}, 2},
                      Listing{
                          "HangingNameRead", {{"dev/S1/bt_name", "One"}, {"dev/S1/hang", "cat"}}, 0, {"S1"}, {"S1"}},
                      Listing{"NamesPairWithSerials",
                              {{"daemon", "start"},
                               {"dev/S1/bt_name", "J\nWatch One\r\n"},
                               {"dev/S2/state", "device"},
                               {"dev/S3/state", "offline"},
                               {"dev/S4/bt_name", "\xB2\xE2\xCA\xD4\n"},
                               {"dev/S5/bt_name", "Old\n"},
                               {"dev/S5/old_android", ""},
                               {"devices.txt", "List of devices attached\nS1\tdevice\nS2\tdevice\nS3\tdevice\n"
                                               "S4\tdevice\nS5\tdevice\nU5\tunauthorized\nO6\toffline\n"
                                               "X7\tno permissions (user in plugdev group); see [http://x]\n\n"}},
                              0,
                              {"S1", "S2", "S3", "S4", "S5"},
                              {"Watch One", "S2", "S3", "\xB2\xE2\xCA\xD4", "Old"},
                              2,
                              1}),
    [](const auto& info) { return std::string(info.param.fault); });

class UploadProgressTest : public UploadWorker, public ::testing::WithParamInterface<const char*> {};

// With the tool's per-file lines, and without them (counted from the files
// that have arrived): the count rises to the listed total, every file verified.
TEST_P(UploadProgressTest, CountsTowardsTheTotal) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 8);
    adb.AddFiles("S1", "Tavoren_videos", 2, 5000, "v");
    adb.Write("dev/S1/pull_style", GetParam());
    adb.Write("dev/S1/pull_delay", "0.25");
    UploadJob& job = Run(NewJob(JobUpload, "S1", 3));
    EXPECT_EQ(job.result, 0);
    ASSERT_EQ(job.files.size(), 10u);
    int done = -1;
    bool between = false;
    for (const UploadProgress& p : sink.progress) {
        EXPECT_EQ(p.row, 3);
        if (p.kind != 0)
            continue;
        EXPECT_EQ(p.total, 8);
        EXPECT_GE(p.done, done);
        between |= p.done > 0 && p.done < 8;
        done = p.done;
    }
    EXPECT_TRUE(between);
    EXPECT_EQ(done, 8);
}

INSTANTIATE_TEST_SUITE_P(Tool, UploadProgressTest, ::testing::Values("arrow", "silent"));

struct Fault {
    const char* name;
    const char* file; // of the device, in the fixture
    const char* content;
    int result;
    int placed; // photos in the target folder afterwards
};

void PrintTo(const Fault& row, std::ostream* os) {
    *os << row.name;
}

class UploadFaultTest : public UploadWorker, public ::testing::WithParamInterface<Fault> {};

// Each fault ends in the result that names it, and nothing partial comes home.
TEST_P(UploadFaultTest, NeverPassesAPartialOrMissingFile) {
    const Fault& fault = GetParam();
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 10, 100000);
    adb.Write(std::string("dev/S1/") + fault.file, fault.content);
    worker.SetPullStallTimeout(1000);
    if (fault.file == std::string("trickle"))
        worker.SetLeastPullRate(1 << 20); // 1 MB listed: the copy may take 2 s
    EXPECT_EQ(Upload().result, fault.result);
    EXPECT_EQ(std::max(FakeAdbFixture::CountFiles(Photos()), 0), fault.placed);
    for (const auto& entry : fs::recursive_directory_iterator(adb.work() + "/WEAR_One"))
        EXPECT_TRUE(entry.is_directory() || entry.file_size() >= 100000u ||
                    entry.path().parent_path().filename() == "WEAR_One")
            << entry.path();
    EXPECT_FALSE(fs::exists(adb.work() + "/WEAR_One/tmp"));
    EXPECT_TRUE(adb.HangsEnded());
}

INSTANTIATE_TEST_SUITE_P(Upload, UploadFaultTest,
                         ::testing::Values(Fault{"UnplugMidCopy", "unplug_after", "5", UPLOAD_DEVICE_NOT_FOUND, 0},
                                           Fault{"FileTooLarge", "fsize", "50000", UPLOAD_FILE_TOO_LARGE, 0},
                                           Fault{"DiskFull", "enospc", "4", UPLOAD_DISK_FULL, 0},
                                           Fault{"HangingCopyIsEnded", "hang", "pull", UPLOAD_NO_RESPONSE, 0},
                                           Fault{"TricklingCopyIsEnded", "trickle", "", UPLOAD_TOO_SLOW, 0},
                                           Fault{"ToolWarningIsNoFailure", "warning", "adb: warning: old tool\n", 0,
                                                 10},
                                           // What is copied is what the device held at the copy.
                                           Fault{"FileGrewBeforeTheCopy", "grow", "", 0, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UploadWorker, NoFileIsEverReplaced) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 3);
    adb.WriteWork("WEAR_One/Tavoren_photos/f0.jpg", std::string(100, 'a')); // the same as the device's
    adb.WriteWork("WEAR_One/Tavoren_photos/f1.jpg", "an older photo");
    adb.WriteWork("WEAR_One/tmp/job-old/Tavoren_photos/f1.jpg", "half"); // left by a killed run
    fs::last_write_time(adb.work() + "/WEAR_One/tmp/job-old", fs::file_time_type::clock::now() - 1h);
    for (int round = 0; round < 2; ++round) {
        UploadJob& job = Upload();
        EXPECT_EQ(job.result, 0);
        EXPECT_EQ(FakeAdbFixture::CountFiles(Photos()), 4); // f0, f1, f1-2, f2: the second round adds nothing
        ASSERT_EQ(job.files.size(), 3u);
        EXPECT_EQ(job.files[1].localPath, Photos() + "/f1-2.jpg");
    }
    EXPECT_EQ(fs::file_size(Photos() + "/f1.jpg"), 14u);
    EXPECT_FALSE(fs::exists(adb.work() + "/WEAR_One/tmp"));
    // Listed once each, under the name they are kept by; the older f1.jpg was
    // not brought home by an upload.
    EXPECT_EQ(ManifestLines(), 3);
    EXPECT_EQ(CheckManifest(), 0);

    // Two devices of one name, at once, with the same file names; the second
    // worker quits only after its running job.
    adb.AddDevice("S2", "One\n");
    adb.AddFiles("S2", "Tavoren_photos", 6, 100, "g");
    adb.AddFiles("S1", "Tavoren_photos", 6, 50, "g");
    adb.Write("dev/S1/pull_delay", "0.1");
    adb.Write("dev/S2/pull_delay", "0.1");
    CUploadHandleThread second;
    second.SetNotifySink(&sink);
    ASSERT_TRUE(second.CreateThread());
    UploadJob* b = NewJob(JobUpload, "S2", 1);
    ASSERT_TRUE(second.PostThreadMessage(UM_UPLOAD_JOB, JobUpload, reinterpret_cast<intptr_t>(b)));
    ASSERT_TRUE(second.PostThreadMessage(UM_UPLOAD_JOB, JOB_QUIT, 0));
    EXPECT_EQ(Upload().result, 0);
    EXPECT_EQ(sink.Next().result, 0);
    EXPECT_TRUE(second.WaitForExit(30000));
    EXPECT_EQ(FakeAdbFixture::CountFiles(Photos()), 16);
    EXPECT_EQ(ManifestLines(), 15);
    EXPECT_EQ(CheckManifest(), 0);
}

// Everything below the folders comes home and is listed, whatever its name;
// the device removes a file only when it still hashes to the copy at home.
TEST_F(UploadWorker, DeleteRemovesOnlyWhatTheDeviceProvesHome) {
    adb.AddDevice("S1", "One\n");
    // Enough long names that one shell line could not hold them all.
    adb.AddFiles("S1", "Tavoren_photos", 120, 10, std::string(40, 'n'));
    const Strings odd = {"it's 1.jpg",      "a b.jpg",           "x;y$(z).jpg",  "*.jpg",
                         "line\nbreak.jpg", "back\\slash\r.jpg", "\xB2\xE2.jpg", ".hidden",
                         "a/b/c/deep.jpg",  "rewritten.jpg",     "replaced.jpg", "moved.jpg"};
    for (const std::string& name : odd)
        adb.Write("dev/S1/sdcard/Tavoren_photos/" + name, name);
    adb.AddFiles("S1", "Tavoren_videos", 1, 5000, "v");
    UploadJob& upload = Upload();
    ASSERT_EQ(upload.result, 0);
    ASSERT_EQ(upload.files.size(), 133u);
    EXPECT_EQ(ManifestLines(), 133);
    EXPECT_EQ(CheckManifest(), 0);

    const std::string phone = adb.root() + "/dev/S1/sdcard/Tavoren_photos/";
    adb.Write("dev/S1/sdcard/Tavoren_photos/rewritten.jpg", "rewritten.jpX"); // same size, other bytes
    fs::remove(phone + "replaced.jpg");
    adb.Write("dev/S1/sdcard/Tavoren_photos/replaced.jpg", "a new photo under the old name");
    adb.Write("dev/S1/sdcard/Tavoren_photos/new.jpg", "taken after the upload");
    fs::remove(Photos() + "/moved.jpg"); // no longer home
    adb.Write("dev/S1/old_android", ""); // exit code 0 whatever happens, a warning line first
    UploadJob* job = NewJob(JobDelete);
    job->files = upload.files;
    UploadJob& done = Run(job);
    EXPECT_EQ(done.result, UPLOAD_CHANGED_ON_DEVICE);
    EXPECT_EQ(done.kept, 2);
    EXPECT_EQ(done.files.size(), 3u); // still offered: kept on the device, copy home
    Strings left;
    for (const auto& entry : fs::recursive_directory_iterator(adb.root() + "/dev/S1/sdcard"))
        if (entry.is_regular_file())
            left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Strings{"moved.jpg", "new.jpg", "replaced.jpg", "rewritten.jpg"}));
    EXPECT_EQ(fs::file_size(phone + "rewritten.jpg"), 13u);
}

struct DeleteFault {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files; // of the fixture
    int result;
};

void PrintTo(const DeleteFault& row, std::ostream* os) {
    *os << row.name;
}

class DeleteFaultTest : public UploadWorker, public ::testing::WithParamInterface<DeleteFault> {};

// A delete the device cannot prove, or that reaches another device, removes nothing.
TEST_P(DeleteFaultTest, KeepsEveryFile) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 3);
    UploadJob& upload = Upload();
    ASSERT_EQ(upload.result, 0);
    for (const auto& [file, content] : GetParam().files)
        adb.Write(file, content);
    worker.SetCommandTimeout(1000);
    UploadJob* job = NewJob(JobDelete);
    job->files = upload.files;
    job->transport = "1"; // as the listing named it
    UploadJob& done = Run(job);
    EXPECT_EQ(done.result, GetParam().result);
    EXPECT_EQ(done.files.size(), 3u);
    EXPECT_EQ(FakeAdbFixture::CountFiles(adb.root() + "/dev/S1/sdcard/Tavoren_photos"), 3);
    EXPECT_TRUE(adb.HangsEnded());
}

INSTANTIATE_TEST_SUITE_P(
    Delete, DeleteFaultTest,
    ::testing::Values(DeleteFault{"NoSha256sum", {{"dev/S1/no_sha256sum", ""}}, UPLOAD_NO_SHA256},
                      DeleteFault{"RmRefused",
                                  {{"dev/S1/rm_output", "rm: Permission denied\n"}, {"dev/S1/old_android", ""}},
                                  UPLOAD_DELETE_FAILED},
                      DeleteFault{"HangingShell", {{"dev/S1/hang", "rm"}}, UPLOAD_NO_RESPONSE},
                      DeleteFault{"Unplugged", {{"dev/S1/gone", ""}}, UPLOAD_DEVICE_NOT_FOUND},
                      // Same serial, another device: a new transport.
                      DeleteFault{"CloneSwappedIn", {{"dev/S1/transport", "7"}}, UPLOAD_DEVICE_NOT_FOUND}),
    [](const auto& info) { return std::string(info.param.name); });

// Killed right after "upload complete" (before any delete could run): what
// is home checks out against its manifest.
TEST_F(UploadWorker, KilledAfterTheUploadLeavesAVerifiableFolder) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads in a forked child";
#endif
    GTEST_FLAG_SET(death_test_style, "fast"); // the child uploads into this test's folders
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 20, 3000);
    adb.AddFiles("S1", "Tavoren_videos", 2, 200000, "v");
    class KillingSink : public UploadNotifySink {
        void PostNotify(uintptr_t, UploadJob*) override {}
        void SendNotify(uintptr_t, UploadJob*) override { raise(SIGKILL); }
        void PostProgress(const UploadProgress&) override {}
    };
    EXPECT_EXIT(
        {
            KillingSink killer;
            CUploadHandleThread child;
            child.SetNotifySink(&killer);
            child.CreateThread();
            child.PostThreadMessage(UM_UPLOAD_JOB, JobUpload, reinterpret_cast<intptr_t>(NewJob(JobUpload)));
            std::this_thread::sleep_for(60s);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(ManifestLines(), 22);
    EXPECT_EQ(CheckManifest(), 0);
}

TEST_F(UploadWorker, MissingToolIsReported) {
    const std::string path = getenv("PATH");
    setenv("PATH", adb.root().c_str(), 1); // no adb there
    EXPECT_EQ(Run(NewJob(JobListDevices)).result, UPLOAD_TOOL_MISSING);
    adb.WriteWork("a", "1");
    EXPECT_EQ(Delete({{"/sdcard/Tavoren_photos/a", 1, adb.work() + "/a", Sha256::Hex("1")}}), UPLOAD_TOOL_MISSING);
    EXPECT_EQ(Upload().result, UPLOAD_TOOL_MISSING);
    setenv("PATH", path.c_str(), 1);
}

// Nothing to copy is not a completed upload, and a locked device is not an
// empty one.
TEST_F(UploadWorker, NothingCopiedIsNeverComplete) {
    adb.AddDevice("S1", "One\n");
    EXPECT_EQ(Upload().result, UPLOAD_NO_FOLDERS);
    fs::create_directories(adb.root() + "/dev/S1/sdcard/Tavoren_photos");
    EXPECT_EQ(Upload().result, UPLOAD_NOTHING);
    std::ifstream record(adb.work() + "/WEAR_One/UPLOADS.txt");
    std::string first;
    std::getline(record, first);
    EXPECT_NE(first.find("\tserial=S1\t"), std::string::npos) << first;
    EXPECT_NE(first.find("\tname=WEAR_One\t"), std::string::npos) << first;
}
