#include "tests/upload/FakeAdbFixture.h"
#include "upload/AdbOutput.h"
#include "upload/CUploadHandleThread.h"
#include "upload/ConsoleRunner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

// Collects the worker's notices as the dialog would see them; a sent notice
// is handled at once. The jobs stay with the test, which reads them after.
class RecordingSink : public UploadNotifySink {
public:
    struct Notice {
        UploadJob* job;
        uintptr_t wParam;
        bool sent;
        UploadJob* operator->() const { return job; }
    };

    void PostNotify(uintptr_t wParam, UploadJob* job) override { Record({job, wParam, false}); }
    void SendNotify(uintptr_t wParam, UploadJob* job) override { Record({job, wParam, true}); }
    void PostProgress(const UploadProgress& progress) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_progress.push_back(progress);
    }

    // Waits (up to 60 s) for the next final notice.
    Notice Next() {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_changed.wait_for(guard, 60s, [this] { return !m_notices.empty(); }))
            throw std::runtime_error("no notice");
        Notice notice = m_notices.front();
        m_notices.erase(m_notices.begin());
        return notice;
    }
    std::vector<UploadProgress> Progress() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_progress;
    }

private:
    void Record(const Notice& notice) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_notices.push_back(notice);
        m_changed.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Notice> m_notices;
    std::vector<UploadProgress> m_progress;
};

class UploadWorker : public ::testing::Test {
protected:
    void SetUp() override {
        worker.SetNotifySink(&sink);
        ASSERT_TRUE(worker.CreateThread());
    }
    void TearDown() override { worker.Quit(); }

    UploadJob* NewJob(int type, const std::string& serial = "S1", const std::string& name = "WEAR_One", int row = 0) {
        jobs.push_back(std::make_unique<Job>());
        Job& job = *jobs.back();
        job.type = type;
        job.row = row;
        job.serial = serial;
        job.name = name;
        job.serials = &job.serialList;
        job.names = &job.nameList;
        return &job;
    }
    RecordingSink::Notice Run(UploadJob* job) {
        EXPECT_TRUE(worker.PostThreadMessage(UM_UPLOAD_JOB, job->type, reinterpret_cast<intptr_t>(job)));
        return sink.Next();
    }
    RecordingSink::Notice Delete(const std::vector<HomeFile>& files) {
        UploadJob* job = NewJob(JobDelete);
        job->files = files;
        return Run(job);
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

TEST(AdbOutput, NamesAndToolMessages) {
    CUploadHandleThread worker;
    for (const auto& [output, name] : std::vector<std::pair<std::string, std::string>>{
             {"J\nWatch One\r\nsecond\n", "Watch One"},
             {"KT-100", "KT-100"},
             {"error: device offline\n", ""},
             {"adb: error: failed\n* daemon started successfully\ncat: /data/x: No such file\nJ\n", ""},
             {"cannot connect to daemon at tcp:5037\n", ""}})
        EXPECT_EQ(AdbOutput::ParseName(output, worker.NamePrefixes), name) << output;
    EXPECT_TRUE(AdbOutput::IsDeviceNotFound("error: device not found\n"));
    EXPECT_TRUE(AdbOutput::IsDeviceNotFound("* daemon started\nerror: device 'S1' not found\n"));
    EXPECT_FALSE(AdbOutput::IsDeviceNotFound("KT device 'x' not found in my name\n"));
}

TEST(AdbOutput, ListingWithSizes) {
    const std::string folder = "/sdcard/P";
    struct Case {
        std::string output, lone;
        Strings files; // "path size"
    } cases[] = {
        {"-rw-rw---- 1 root sdcard_rw 1234 2020-01-01 12:00 /sdcard/P/a b.jpg\r\n"
         "-rw-rw---- root sdcard_rw 7 2020-01-01 12:00:59 /sdcard/P/it's.jpg\n"
         "drwxrwx--x 2 root sdcard_rw 4096 2020-01-01 12:00 /sdcard/P/sub\n"
         "lrwxrwxrwx 1 root root 3 2020-01-01 12:00 /sdcard/P/l -> x\n"
         "-rw-rw---- 1 root sdcard_rw 5 2020-01-01 12:00 /sdcard/Q/outside.jpg\n"
         "-rw-rw---- 1 root sdcard_rw 5 2020-01-01 12:00 /sdcard/P/../x.jpg\n"
         "\n/sdcard/P/sub:\ntotal 1\n-rw-rw---- 1 root sdcard_rw 9 2020-01-01 12:00 c.jpg\n",
         "",
         {"a b.jpg 1234", "it's.jpg 7", "sub/c.jpg 9"}},
        {"total 1\n-rw-rw---- 1 root sdcard_rw 3 2020-01-01 12:00 d.jpg\n", "Camera", {"Camera/d.jpg 3"}},
        {"-rw-rw----    1 root     sdcard_r    123456 Mar  4 12:30 /sdcard/P/x y.jpg\n"
         "-rw-rw----    1 root     sdcard_r      7890 Dec 31  2019 /sdcard/P/z.jpg\n", // busybox
         "",
         {"x y.jpg 123456", "z.jpg 7890"}},
        {"ls: /sdcard/P/*: No such file or directory\n", "", {}},
        {"-rw 1 2 99999999999999999999999 2020-01-01 12:00 /sdcard/P/huge\n-\n- 2020-01-01 12:00\n", "", {}},
    };
    for (const Case& c : cases) {
        Strings got;
        for (const AdbOutput::File& file : AdbOutput::ParseListing(c.output, folder, c.lone))
            got.push_back(file.path + " " + std::to_string(file.size));
        EXPECT_EQ(got, c.files) << c.output;
    }
}

TEST(AdbOutput, PullReports) {
    struct Case {
        std::string output;
        int arrows, pulled, skipped;
        bool local, missing, other;
    } cases[] = {
        {"pull: /sdcard/P/a -> t/a\npull: /sdcard/P/b -> t/b\n/sdcard/P/: 2 files pulled, 0 skipped. 1 MB/s\n", 2, 2, 0,
         false, false, false},
        {"/sdcard/P/: 1 file pulled. 3 files skipped.\n", 0, 1, 3, false, false, false},
        {"adb: error: cannot write 't/a': No space left on device\n", 0, -1, 0, true, false, false},
        {"adb: error: failed to create directory 't': Permission denied\n", 0, -1, 0, true, false, false},
        {"adb: error: failed to stat remote object '/sdcard/P/': No such file or directory\n", 0, -1, 0, false, true,
         false},
        {"adb: error: failed to stat remote object '/sdcard/P/': Permission denied\n", 0, -1, 0, false, false, true},
        {"adb: error: failed to copy 'a' to 'b': remote No space left on device\nerror: device offline\n", 0, -1, 0,
         false, false, true},
    };
    for (const Case& c : cases) {
        AdbOutput::Pull r = AdbOutput::ParsePull(c.output);
        EXPECT_EQ(std::make_tuple(r.arrows, r.pulled, r.skipped, r.localError, r.remoteMissing, r.otherError),
                  std::make_tuple(c.arrows, c.pulled, c.skipped, c.local, c.missing, c.other))
            << c.output;
    }
}

TEST(UploadText, SafeFolderNames) {
    for (const auto& [name, safe] : std::vector<std::pair<std::string, std::string>>{
             {"WEAR_KT1", "WEAR_KT1"},
             {"../x", "___x"},
             {"a\\b/c\td\x7f", "a_b_c_d_"},
             {"..", "__"},
             {".", "_"},
             {"", "_"},
             {"手表", "手表"},
             {"WEAR_\xB2\xE2\xCA\xD4", "WEAR_%B2%E2%CA%D4"}, // GBK bytes are not UTF-8
             {"WEAR_\xB2\xE2\xCA\xD5", "WEAR_%B2%E2%CA%D5"},
             {"50%B2", "50%25B2"},                        // so no name can pose as an escape
             {"\xED\xA0\x80\xC0\xAF", "%ED%A0%80%C0%AF"}, // surrogate, overlong
         })
        EXPECT_EQ(CUploadHandleThread::SafeFolderName(name), safe);
    std::string longName;
    for (int i = 0; i < 100; ++i)
        longName += "表\xB2"; // 3 bytes and an escape of 3
    const std::string cut = CUploadHandleThread::SafeFolderName(longName);
    EXPECT_EQ(cut.size(), 198u); // never inside a character or an escape
    EXPECT_EQ(cut.substr(192), "表%B2");
}

TEST_F(UploadWorker, ListingReportsUsableAndWaitingDevices) {
    adb.Write("devices.txt", "List of devices attached\n\n");
    EXPECT_EQ(Run(NewJob(JobListDevices))->result, 1);
    adb.Write("daemon", "fail");
    EXPECT_EQ(Run(NewJob(JobListDevices))->result, 2);

    adb.Write("daemon", "start");
    adb.Write("devices.txt", "List of devices attached\nA1\tdevice\nB2\toffline\nC3\tunauthorized\nD4\tdevice \n\n");
    adb.AddDevice("A1", "KT-Alpha\n");
    RecordingSink::Notice mixed = Run(NewJob(JobListDevices));
    EXPECT_EQ(mixed->result, 0);
    EXPECT_EQ(*mixed->serials, Strings{"A1"});
    EXPECT_EQ(*mixed->names, Strings{"KT-Alpha"});
    EXPECT_EQ(mixed->waiting, 2);
    EXPECT_FALSE(mixed.sent);
}

TEST_F(UploadWorker, EachDeviceKeepsItsOwnName) {
    adb.AddDevice("S1", "J\nWatch One\r\n");
    adb.AddDevice("S2", nullptr);              // no name file
    adb.AddDevice("S3", "Three", "offline");   // went offline after the listing
    adb.AddDevice("S5", "\xB2\xE2\xCA\xD4\n"); // GBK bytes, passed on as they are
    adb.Write("devices.txt", "List of devices attached\nS1\tdevice\nS2\tdevice\nS3\tdevice\nS4\tdevice\n"
                             "S5\tdevice\n\n"); // S4 is gone
    RecordingSink::Notice notice = Run(NewJob(JobListDevices));
    EXPECT_EQ(notice->result, 0);
    EXPECT_EQ(*notice->serials, (Strings{"S1", "S2", "S3", "S4", "S5"}));
    EXPECT_EQ(*notice->names, (Strings{"Watch One", "S2", "S3", "S4", "\xB2\xE2\xCA\xD4"}));
}

class UploadProgressTest : public UploadWorker, public ::testing::WithParamInterface<const char*> {};

TEST_P(UploadProgressTest, CountsTowardsTheTotalAndVerifiesEveryFile) {
    const bool arrows = std::string(GetParam()) == "arrow";
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 12);
    if (arrows)
        adb.AddFiles("S1", "Tavoren_videos", 2, 5000, "v");
    adb.Write("dev/S1/pull_style", GetParam());
    adb.Write("dev/S1/pull_delay", "0.25");
    RecordingSink::Notice notice = Run(NewJob(JobUpload, "S1", "WEAR_One", 3));
    EXPECT_EQ(notice.wParam, 1u);
    EXPECT_EQ(notice->result, 0);
    EXPECT_TRUE(notice.sent);
    EXPECT_EQ(FakeAdbFixture::CountFiles(Photos()), 12);
    EXPECT_EQ(FakeAdbFixture::CountFiles(adb.work() + "/WEAR_One/Tavoren_videos"),
              arrows ? 2 : 0); // made even when missing
    EXPECT_FALSE(fs::exists(adb.work() + "/WEAR_One/tmp"));
    ASSERT_EQ(notice->files.size(), arrows ? 14u : 12u);
    const HomeFile& last = notice->files.back();
    EXPECT_EQ(last.devicePath, arrows ? "/sdcard/Tavoren_videos/v1.jpg" : "/sdcard/Tavoren_photos/f9.jpg");
    EXPECT_EQ(fs::file_size(last.localPath), last.size);

    int done = -1;
    bool between = false;
    for (const UploadProgress& p : sink.Progress()) {
        EXPECT_EQ(p.row, 3);
        if (p.kind != 0)
            continue;
        EXPECT_EQ(p.total, 12);
        EXPECT_GE(p.done, done);
        between |= p.done > 0 && p.done < 12;
        done = p.done;
    }
    EXPECT_TRUE(between);
    EXPECT_EQ(done, 12);
}

INSTANTIATE_TEST_SUITE_P(Tool, UploadProgressTest, ::testing::Values("arrow", "silent"));

struct Fault {
    const char* name;
    const char* file; // written below the fixture ("root/...") or the current folder ("work/...")
    const char* content;
    int result;
    int placed; // photos in the target folder afterwards
};

class UploadFaultTest : public UploadWorker, public ::testing::WithParamInterface<Fault> {};

TEST_P(UploadFaultTest, NeverPassesAPartialOrMissingFile) {
    const Fault& fault = GetParam();
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 10, 100000);
    const std::string file = fault.file;
    if (file.rfind("root/", 0) == 0)
        adb.Write(file.substr(5), fault.content);
    else
        adb.WriteWork(file.substr(5), fault.content);
    worker.SetPullStallTimeout(1000);
    EXPECT_EQ(Run(NewJob(JobUpload))->result, fault.result);
    EXPECT_EQ(std::max(FakeAdbFixture::CountFiles(Photos()), 0), fault.placed);
    for (const auto& entry : fs::recursive_directory_iterator(adb.work() + "/WEAR_One"))
        EXPECT_TRUE(entry.is_directory() || entry.file_size() >= 100000u) << entry.path();
    EXPECT_FALSE(fs::exists(adb.work() + "/WEAR_One/tmp"));
    for (int pid : adb.HangPids())
        EXPECT_TRUE(FakeAdbFixture::WaitGone(pid)) << pid;
}

INSTANTIATE_TEST_SUITE_P(Upload, UploadFaultTest,
                         ::testing::Values(Fault{"UnplugMidCopy", "root/dev/S1/unplug_after", "5", 4, 0},
                                           Fault{"DiskFull", "root/dev/S1/fsize", "50000", 6, 0},
                                           Fault{"HangingCopyIsEnded", "root/dev/S1/hang", "pull", 4, 0},
                                           Fault{"FileChangedOnTheDevice", "root/dev/S1/grow", "", 4, 10},
                                           Fault{"LeftoverOfAnInterruptedRun",
                                                 "work/WEAR_One/tmp/S1/Tavoren_photos/f1.jpg", "half", 0, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UploadWorker, NoFileIsEverReplaced) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 3);
    adb.WriteWork("WEAR_One/Tavoren_photos/f0.jpg", std::string(100, 'a')); // the same as the device's
    adb.WriteWork("WEAR_One/Tavoren_photos/f1.jpg", "an older photo");
    for (int round = 0; round < 2; ++round) {
        RecordingSink::Notice notice = Run(NewJob(JobUpload));
        EXPECT_EQ(notice->result, 0);
        EXPECT_EQ(FakeAdbFixture::CountFiles(Photos()), 4); // f0, f1, f1-2, f2: the second round adds nothing
        ASSERT_EQ(notice->files.size(), 3u);
        EXPECT_EQ(notice->files[1].localPath, Photos() + "/f1-2.jpg");
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
    UploadJob* b = NewJob(JobUpload, "S2", "WEAR_One", 1);
    ASSERT_TRUE(second.PostThreadMessage(UM_UPLOAD_JOB, JobUpload, reinterpret_cast<intptr_t>(b)));
    ASSERT_TRUE(second.PostThreadMessage(UM_UPLOAD_JOB, JOB_QUIT, 0));
    EXPECT_EQ(Run(NewJob(JobUpload))->result, 0);
    EXPECT_EQ(sink.Next()->result, 0);
    EXPECT_TRUE(second.WaitForExit(30000));
    EXPECT_EQ(FakeAdbFixture::CountFiles(Photos()), 16);
}

TEST_F(UploadWorker, DeleteRemovesExactlyWhatIsHome) {
    adb.AddDevice("S1", "One\n");
    // Enough long names that one command line could not hold them all.
    adb.AddFiles("S1", "Tavoren_photos", 150, 10, std::string(40, 'n'));
    for (const char* name : {"it's 1.jpg", "a b.jpg", "x;y$(z).jpg", "*.jpg"})
        adb.Write(std::string("dev/S1/sdcard/Tavoren_photos/") + name, name);
    RecordingSink::Notice upload = Run(NewJob(JobUpload));
    ASSERT_EQ(upload->result, 0);
    ASSERT_EQ(upload->files.size(), 154u);

    adb.Write("dev/S1/sdcard/Tavoren_photos/new.jpg", "taken after the upload");
    fs::remove(Photos() + "/a b.jpg"); // no longer home
    RecordingSink::Notice deleted = Delete(upload->files);
    EXPECT_EQ(deleted.wParam, 2u);
    EXPECT_EQ(deleted->result, 7);
    Strings left;
    for (const auto& entry : fs::directory_iterator(adb.root() + "/dev/S1/sdcard/Tavoren_photos"))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Strings{"a b.jpg", "new.jpg"}));

    const std::vector<HomeFile> home(upload->files.begin() + 3, upload->files.begin() + 5); // still home
    adb.Write("dev/S1/rm_output", "rm: /sdcard/Tavoren_photos/f0.jpg: Permission denied\n");
    EXPECT_EQ(Delete(home)->result, 7);
    fs::remove(adb.root() + "/dev/S1/rm_output");
    adb.Write("dev/S1/rm_echo", ""); // a shell that echoes the "exit" lines
    EXPECT_EQ(Delete(home)->result, 0);
    adb.Write("dev/S1/gone", "");
    EXPECT_EQ(Delete(home)->result, 4);
}

TEST_F(UploadWorker, HangingToolsTimeOut) {
    worker.SetCommandTimeout(500);
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 1);
    adb.Write("dev/S1/hang", "cat rm");
    RecordingSink::Notice naming = Run(NewJob(JobListDevices));
    EXPECT_EQ(naming->result, 0);
    EXPECT_EQ(*naming->names, Strings{"S1"});
    EXPECT_EQ(Delete(Run(NewJob(JobUpload))->files)->result, 4);
    adb.Write("hang", "devices");
    EXPECT_EQ(Run(NewJob(JobListDevices))->result, 2);
    for (int pid : adb.HangPids())
        EXPECT_TRUE(FakeAdbFixture::WaitGone(pid)) << pid;
}

TEST_F(UploadWorker, MissingToolIsReported) {
    const std::string path = getenv("PATH");
    setenv("PATH", adb.root().c_str(), 1); // no adb there
    EXPECT_EQ(Run(NewJob(JobListDevices))->result, 2);
    adb.WriteWork("a", "1");
    EXPECT_EQ(Delete({{"/sdcard/Tavoren_photos/a", 1, adb.work() + "/a"}})->result, 3);
    EXPECT_EQ(Run(NewJob(JobUpload))->result, 3);
    setenv("PATH", path.c_str(), 1);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    FakeAdbFixture::InstallOnPath();
    return RUN_ALL_TESTS();
}
