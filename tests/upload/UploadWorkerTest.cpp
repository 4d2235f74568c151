#include "tests/upload/FakeAdbFixture.h"
#include "upload/AdbOutput.h"
#include "upload/CUploadHandleThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>

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

    FakeAdbFixture adb; // before the worker: its folders outlive the worker's jobs
    RecordingSink sink;
    CUploadHandleThread worker;
    struct Job : UploadJob {
        Strings serialList, nameList;
    };
    std::vector<std::unique_ptr<Job>> jobs;
};

} // namespace

// The dialects of the device's ls (toybox, toolbox, busybox), with names the
// device shell would split; what lies outside the folder is no file of it.
TEST(AdbOutput, ListingWithSizes) {
    struct Case {
        std::string output, lone;
        Strings files; // "path size"
    } cases[] = {
        {"-rw-rw---- 1 root sdcard_rw 1234 2020-01-01 12:00 /sdcard/P/a b.jpg\r\n"
         "-rw-rw---- root sdcard_rw 7 2020-01-01 12:00:59 /sdcard/P/it's.jpg\n"
         "-rw-rw---- 1 root sdcard_rw 5 2020-01-01 12:00 /sdcard/Q/outside.jpg\n"
         "\n/sdcard/P/sub:\ntotal 1\n-rw-rw---- 1 root sdcard_rw 9 2020-01-01 12:00 c.jpg\n",
         "",
         {"a b.jpg 1234", "it's.jpg 7", "sub/c.jpg 9"}},
        {"total 1\n-rw-rw---- 1 root sdcard_rw 3 2020-01-01 12:00 d.jpg\n", "Camera", {"Camera/d.jpg 3"}},
        {"-rw-rw----    1 root     sdcard_r    123456 Mar  4 12:30 /sdcard/P/x y.jpg\n"
         "-rw-rw----    1 root     sdcard_r      7890 Dec 31  2019 /sdcard/P/z.jpg\n",
         "",
         {"x y.jpg 123456", "z.jpg 7890"}},
    };
    for (const Case& c : cases) {
        Strings got;
        for (const AdbOutput::File& file : AdbOutput::ParseListing(c.output, "/sdcard/P", c.lone))
            got.push_back(file.path + " " + std::to_string(file.size));
        EXPECT_EQ(got, c.files) << c.output;
    }
}

// A local failure (result 6) is told from a device-side one (4); files the
// tool skipped are not home.
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
    EXPECT_TRUE(adb.HangsEnded());
}

// NamesPairWithSerials: the server's start messages are neither devices nor
// names; S2's name cannot be read (it goes by its serial and shifts no other);
// S3 went offline after the listing (its error is no name); S4's GBK bytes
// are passed on as they are.
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
                               {"devices.txt", "List of devices attached\nS1\tdevice\nS2\tdevice\nS3\tdevice\n"
                                               "S4\tdevice\nU5\tunauthorized\nO6\toffline\n\n"}},
                              0,
                              {"S1", "S2", "S3", "S4"},
                              {"Watch One", "S2", "S3", "\xB2\xE2\xCA\xD4"},
                              2}),
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

TEST_P(UploadFaultTest, NeverPassesAPartialOrMissingFile) {
    const Fault& fault = GetParam();
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 10, 100000);
    adb.Write(std::string("dev/S1/") + fault.file, fault.content);
    worker.SetPullStallTimeout(1000);
    EXPECT_EQ(Upload().result, fault.result);
    EXPECT_EQ(std::max(FakeAdbFixture::CountFiles(Photos()), 0), fault.placed);
    for (const auto& entry : fs::recursive_directory_iterator(adb.work() + "/WEAR_One"))
        EXPECT_TRUE(entry.is_directory() || entry.file_size() >= 100000u) << entry.path();
    EXPECT_FALSE(fs::exists(adb.work() + "/WEAR_One/tmp"));
    EXPECT_TRUE(adb.HangsEnded());
}

INSTANTIATE_TEST_SUITE_P(Upload, UploadFaultTest,
                         ::testing::Values(Fault{"UnplugMidCopy", "unplug_after", "5", 4, 0},
                                           Fault{"DiskFull", "fsize", "50000", 6, 0},
                                           Fault{"HangingCopyIsEnded", "hang", "pull", 4, 0},
                                           Fault{"FileChangedOnTheDevice", "grow", "", 4, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UploadWorker, NoFileIsEverReplaced) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 3);
    adb.WriteWork("WEAR_One/Tavoren_photos/f0.jpg", std::string(100, 'a')); // the same as the device's
    adb.WriteWork("WEAR_One/Tavoren_photos/f1.jpg", "an older photo");
    adb.WriteWork("WEAR_One/tmp/S1/Tavoren_photos/f1.jpg", "half"); // left by an interrupted run
    for (int round = 0; round < 2; ++round) {
        UploadJob& job = Upload();
        EXPECT_EQ(job.result, 0);
        EXPECT_EQ(FakeAdbFixture::CountFiles(Photos()), 4); // f0, f1, f1-2, f2: the second round adds nothing
        ASSERT_EQ(job.files.size(), 3u);
        EXPECT_EQ(job.files[1].localPath, Photos() + "/f1-2.jpg");
    }
    EXPECT_EQ(fs::file_size(Photos() + "/f1.jpg"), 14u);

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
}

TEST_F(UploadWorker, DeleteRemovesExactlyWhatIsHome) {
    adb.AddDevice("S1", "One\n");
    // Enough long names that one command line could not hold them all.
    adb.AddFiles("S1", "Tavoren_photos", 150, 10, std::string(40, 'n'));
    for (const char* name : {"it's 1.jpg", "a b.jpg", "x;y$(z).jpg", "*.jpg"})
        adb.Write(std::string("dev/S1/sdcard/Tavoren_photos/") + name, name);
    UploadJob& upload = Upload();
    ASSERT_EQ(upload.result, 0);
    ASSERT_EQ(upload.files.size(), 154u);

    adb.Write("dev/S1/sdcard/Tavoren_photos/new.jpg", "taken after the upload");
    fs::remove(Photos() + "/a b.jpg"); // no longer home
    EXPECT_EQ(Delete(upload.files), 7);
    Strings left;
    for (const auto& entry : fs::directory_iterator(adb.root() + "/dev/S1/sdcard/Tavoren_photos"))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Strings{"a b.jpg", "new.jpg"}));

    // How the device answers the next delete of files still home.
    const std::vector<HomeFile> home(upload.files.begin() + 3, upload.files.begin() + 5);
    adb.Write("dev/S1/rm_output", "rm: /sdcard/Tavoren_photos/f0.jpg: Permission denied\n");
    EXPECT_EQ(Delete(home), 7);
    fs::remove(adb.root() + "/dev/S1/rm_output");
    EXPECT_EQ(Delete(home), 0);
    worker.SetCommandTimeout(500);
    adb.Write("dev/S1/hang", "rm");
    EXPECT_EQ(Delete(home), 4);
    EXPECT_TRUE(adb.HangsEnded());
    adb.Write("dev/S1/gone", "");
    EXPECT_EQ(Delete(home), 4);
}

TEST_F(UploadWorker, MissingToolIsReported) {
    const std::string path = getenv("PATH");
    setenv("PATH", adb.root().c_str(), 1); // no adb there
    EXPECT_EQ(Run(NewJob(JobListDevices)).result, 2);
    adb.WriteWork("a", "1");
    EXPECT_EQ(Delete({{"/sdcard/Tavoren_photos/a", 1, adb.work() + "/a"}}), 3);
    EXPECT_EQ(Upload().result, 3);
    setenv("PATH", path.c_str(), 1);
}
