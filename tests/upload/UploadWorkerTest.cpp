#include "CUploadHandleThread.h"
#include "ConsoleRunner.h"
#include "FakeAdbFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Collects the worker's notices as the dialog would see them; a sent notice
// is handled at once.
class RecordingSink : public UploadNotifySink {
public:
    struct Notice {
        uintptr_t wParam;
        int result;
        int type;
        std::vector<std::string> serials;
        std::vector<std::string> names;
    };

    void PostNotify(uintptr_t wParam, UploadJob* job) override { Record(wParam, job, false); }
    void SendNotify(uintptr_t wParam, UploadJob* job) override { Record(wParam, job, true); }
    void PostProgress(const UploadProgress& progress) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_progress.push_back(progress);
    }

    // Waits (up to 60 s) for the next final notice.
    Notice Next() {
        std::unique_lock<std::mutex> guard(m_lock);
        EXPECT_TRUE(m_changed.wait_for(guard, 60s, [this] { return !m_notices.empty(); }));
        if (m_notices.empty())
            return {99, -1, -1, {}, {}};
        Notice notice = m_notices.front();
        m_notices.erase(m_notices.begin());
        return notice;
    }
    std::vector<UploadProgress> Progress() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_progress;
    }
    std::vector<bool> SentFlags() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_sent;
    }

private:
    void Record(uintptr_t wParam, UploadJob* job, bool sent) {
        std::lock_guard<std::mutex> guard(m_lock);
        Notice notice{wParam, job->result, job->type, {}, {}};
        if (job->serials)
            notice.serials = *job->serials;
        if (job->names)
            notice.names = *job->names;
        m_notices.push_back(notice);
        m_sent.push_back(sent);
        m_changed.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Notice> m_notices;
    std::vector<UploadProgress> m_progress;
    std::vector<bool> m_sent;
};

class UploadWorker : public ::testing::Test {
protected:
    void SetUp() override {
        worker.SetNotifySink(&sink);
        ASSERT_TRUE(worker.CreateThread());
    }
    void TearDown() override { worker.Quit(); }

    UploadJob* NewJob(int type, int row = 0, const std::string& serial = "", const std::string& name = "") {
        jobs.push_back(std::make_unique<UploadJob>());
        UploadJob* job = jobs.back().get();
        job->type = type;
        job->row = row;
        job->serial = serial;
        job->name = name;
        if (type == JobListDevices) {
            lists.push_back(std::make_unique<std::vector<std::string>>());
            job->serials = lists.back().get();
            lists.push_back(std::make_unique<std::vector<std::string>>());
            job->names = lists.back().get();
        }
        return job;
    }
    RecordingSink::Notice Run(UploadJob* job) {
        EXPECT_TRUE(worker.PostThreadMessage(UM_UPLOAD_JOB, job->type, reinterpret_cast<intptr_t>(job)));
        return sink.Next();
    }
    static int CountFiles(const std::string& folder) {
        if (!fs::is_directory(folder))
            return -1;
        int count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            count += entry.is_regular_file() ? 1 : 0;
        return count;
    }

    FakeAdbFixture adb; // before the worker: its folders outlive the worker's jobs
    RecordingSink sink;
    CUploadHandleThread worker;
    std::vector<std::unique_ptr<UploadJob>> jobs;
    std::vector<std::unique_ptr<std::vector<std::string>>> lists;
};

} // namespace

TEST(UploadText, SplitTextDropsEmptyPieces) {
    using V = std::vector<std::string>;
    EXPECT_EQ(CUploadHandleThread::SplitText("a\r\nb\n\nc", "\r\n"), (V{"a", "b", "c"}));
    EXPECT_EQ(CUploadHandleThread::SplitText("\r\n\r\n", "\r\n"), V{});
    EXPECT_EQ(CUploadHandleThread::SplitText("S1\tdevice", "\t"), (V{"S1", "device"}));
    EXPECT_EQ(CUploadHandleThread::SplitText("last", "\r\n"), V{"last"});
}

TEST(UploadText, NameFilterAndSafeFolderNames) {
    CUploadHandleThread worker;
    EXPECT_TRUE(worker.AcceptName("KT-100"));
    EXPECT_TRUE(worker.AcceptName("Watch 7"));
    EXPECT_FALSE(worker.AcceptName("J"));
    EXPECT_FALSE(worker.AcceptName(""));

    EXPECT_EQ(CUploadHandleThread::SafeFolderName("WEAR_KT1"), "WEAR_KT1");
    EXPECT_EQ(CUploadHandleThread::SafeFolderName("../x"), "___x");
    EXPECT_EQ(CUploadHandleThread::SafeFolderName("a\\b/c\td\x7f"), "a_b_c_d_");
    EXPECT_EQ(CUploadHandleThread::SafeFolderName(".."), "__");
    EXPECT_EQ(CUploadHandleThread::SafeFolderName("."), "_");
    EXPECT_EQ(CUploadHandleThread::SafeFolderName(""), "_");
    EXPECT_EQ(CUploadHandleThread::SafeFolderName("手表"), "手表");
    std::string longName;
    for (int i = 0; i < 100; ++i)
        longName += "表"; // 3 bytes each
    std::string cut = CUploadHandleThread::SafeFolderName(longName);
    EXPECT_LE(cut.size(), 200u);
    EXPECT_EQ(cut.size() % 3, 0u);

    EXPECT_TRUE(CUploadHandleThread::IsDeviceNotFound("error: device not found\n"));
    EXPECT_TRUE(CUploadHandleThread::IsDeviceNotFound("* daemon started\nerror: device 'S1' not found\n"));
    EXPECT_FALSE(CUploadHandleThread::IsDeviceNotFound("KT device 'x' not found in my name\n"));
}

TEST(UploadText, FindInnermostFolder) {
    FakeAdbFixture dirs;
    const std::string tmp = dirs.work() + "/tmp";
    fs::create_directories(tmp + "/Tavoren_photos/Camera");
    EXPECT_EQ(CUploadHandleThread::FindInnermostFolder(tmp), tmp + "/Tavoren_photos/Camera");
    // Never goes past a folder that holds anything besides one folder.
    std::ofstream(tmp + "/Tavoren_photos/a.jpg") << "x";
    EXPECT_EQ(CUploadHandleThread::FindInnermostFolder(tmp), tmp + "/Tavoren_photos");
    fs::create_directories(dirs.work() + "/empty");
    EXPECT_EQ(CUploadHandleThread::FindInnermostFolder(dirs.work() + "/empty"), dirs.work() + "/empty");
}

TEST_F(UploadWorker, ListingFindsOnlyUsableDevices) {
    adb.Write("devices.txt", "List of devices attached\n\n");
    RecordingSink::Notice heading = Run(NewJob(JobListDevices));
    EXPECT_EQ(heading.wParam, 0u);
    EXPECT_EQ(heading.result, 1);

    adb.AddDevice("A1", "KT-Alpha\n");
    adb.AddDevice("B2", "Bravo\n");
    adb.AddDevice("C3", "Charlie\n");
    adb.AddDevice("D4", "Delta\n");
    adb.Write("devices.txt", "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n"
                             "List of devices attached\nA1\tdevice\nB2\toffline\nC3\tunauthorized\nD4\tdevice \n"
                             "\n");
    RecordingSink::Notice mixed = Run(NewJob(JobListDevices));
    EXPECT_EQ(mixed.result, 0);
    EXPECT_EQ(mixed.serials, std::vector<std::string>{"A1"});
    EXPECT_EQ(mixed.names, std::vector<std::string>{"KT-Alpha"});
    EXPECT_FALSE(sink.SentFlags().back()); // posted
}

TEST_F(UploadWorker, ListingNamesEachDevice) {
    adb.AddDevice("S1", "J\nWatch One\r\nsecond line\n");
    adb.AddDevice("S2", nullptr); // no name file: cat complains, no name
    adb.AddDevice("S3", "../../evil\n");
    RecordingSink::Notice notice = Run(NewJob(JobListDevices));
    EXPECT_EQ(notice.result, 0);
    EXPECT_EQ(notice.serials, (std::vector<std::string>{"S1", "S2", "S3"}));
    EXPECT_EQ(notice.names, (std::vector<std::string>{"Watch One", "../../evil"}));
}

TEST_F(UploadWorker, SecondDeviceGoneWhileNaming) {
    adb.AddDevice("S1", "One\n");
    adb.Write("devices.txt", "List of devices attached\nS1\tdevice\nS2\tdevice\n\n"); // S2 is not there
    RecordingSink::Notice notice = Run(NewJob(JobListDevices));
    EXPECT_EQ(notice.result, 4);
    EXPECT_EQ(notice.serials, (std::vector<std::string>{"S1", "S2"}));
    EXPECT_EQ(notice.names, std::vector<std::string>{"One"});
    EXPECT_TRUE(sink.SentFlags().back()); // sent

    adb.Write("old_messages", ""); // the older tool's wording
    EXPECT_EQ(Run(NewJob(JobListDevices)).result, 4);
}

TEST_F(UploadWorker, UploadCountsArrowLinesAndMovesFiles) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 12);
    adb.AddFiles("S1", "Tavoren_videos", 2, 5000, "v");
    adb.Write("dev/S1/pull_style", "arrow");
    adb.Write("dev/S1/pull_delay", "0.25");
    RecordingSink::Notice notice = Run(NewJob(JobUpload, 3, "S1", "WEAR_One"));
    EXPECT_EQ(notice.wParam, 1u);
    EXPECT_EQ(notice.result, 0);
    EXPECT_TRUE(sink.SentFlags().back());
    const std::string folder = adb.work() + "/WEAR_One";
    EXPECT_EQ(CountFiles(folder + "/Tavoren_photos"), 12);
    EXPECT_EQ(CountFiles(folder + "/Tavoren_videos"), 2);
    EXPECT_EQ(fs::file_size(folder + "/Tavoren_videos/v1.jpg"), 5000u);
    EXPECT_FALSE(fs::exists(folder + "/tmp"));

    std::vector<UploadProgress> progress = sink.Progress();
    ASSERT_FALSE(progress.empty());
    int last = -1;
    bool between = false;
    for (const UploadProgress& p : progress) {
        EXPECT_EQ(p.row, 3);
        if (p.kind != 0)
            continue;
        EXPECT_EQ(p.total, 12);
        EXPECT_GE(p.done, last);
        between |= p.done > 0 && p.done < 12;
        last = p.done;
    }
    EXPECT_TRUE(between);
    EXPECT_EQ(last, 12);
}

TEST_F(UploadWorker, UploadCountsArrivedFilesWhenTheToolIsSilent) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 12);
    adb.Write("dev/S1/pull_style", "silent");
    adb.Write("dev/S1/pull_delay", "0.25");
    EXPECT_EQ(Run(NewJob(JobUpload, 0, "S1", "WEAR_One")).result, 0);
    std::vector<UploadProgress> progress = sink.Progress();
    ASSERT_FALSE(progress.empty());
    bool between = false;
    int last = -1;
    for (const UploadProgress& p : progress) {
        EXPECT_EQ(p.kind, 0); // no video folder: no watcher for it
        EXPECT_GE(p.done, last);
        between |= p.done > 0 && p.done < 12;
        last = p.done;
    }
    EXPECT_TRUE(between);
    EXPECT_EQ(last, 12);
    // The missing video folder is still made, empty.
    EXPECT_EQ(CountFiles(adb.work() + "/WEAR_One/Tavoren_videos"), 0);
}

TEST_F(UploadWorker, TwoDevicesWithOneNameShareTheFolderSafely) {
    adb.AddDevice("S1", "Same\n");
    adb.AddDevice("S2", "Same\n");
    adb.AddFiles("S1", "Tavoren_photos", 6, 100, "one");
    adb.AddFiles("S2", "Tavoren_photos", 6, 100, "two");
    adb.Write("dev/S1/pull_delay", "0.1");
    adb.Write("dev/S2/pull_delay", "0.1");
    CUploadHandleThread second;
    second.SetNotifySink(&sink);
    ASSERT_TRUE(second.CreateThread());
    UploadJob* a = NewJob(JobUpload, 0, "S1", "WEAR_Same");
    UploadJob* b = NewJob(JobUpload, 1, "S2", "WEAR_Same");
    ASSERT_TRUE(worker.PostThreadMessage(UM_UPLOAD_JOB, JobUpload, reinterpret_cast<intptr_t>(a)));
    ASSERT_TRUE(second.PostThreadMessage(UM_UPLOAD_JOB, JobUpload, reinterpret_cast<intptr_t>(b)));
    EXPECT_EQ(sink.Next().result, 0);
    EXPECT_EQ(sink.Next().result, 0);
    second.Quit();
    EXPECT_EQ(CountFiles(adb.work() + "/WEAR_Same/Tavoren_photos"), 12);
    EXPECT_FALSE(fs::exists(adb.work() + "/WEAR_Same/tmp"));
}

TEST_F(UploadWorker, UnsafeNameStaysInsideTheCurrentFolder) {
    adb.AddDevice("S1", "x\n");
    adb.AddFiles("S1", "Tavoren_photos", 2);
    EXPECT_EQ(Run(NewJob(JobUpload, 0, "S1", "WEAR_../../evil")).result, 0);
    EXPECT_EQ(CountFiles(adb.work() + "/WEAR_______evil/Tavoren_photos"), 2);
    EXPECT_FALSE(fs::exists(adb.work() + "/../evil"));
    EXPECT_FALSE(fs::exists(adb.work() + "/../../evil"));
}

TEST_F(UploadWorker, UnplugMidCopyKeepsWhatArrived) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 10);
    adb.Write("dev/S1/unplug_after", "5");
    EXPECT_EQ(Run(NewJob(JobUpload, 0, "S1", "WEAR_One")).result, 0);
    EXPECT_EQ(CountFiles(adb.work() + "/WEAR_One/Tavoren_photos"), 5);
}

TEST_F(UploadWorker, FailedMoveKeepsTheFiles) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 3);
    // A folder in the way of f1.jpg: that file cannot be moved into place.
    fs::create_directories(adb.work() + "/WEAR_One/Tavoren_photos/f1.jpg/inner");
    EXPECT_EQ(Run(NewJob(JobUpload, 0, "S1", "WEAR_One")).result, 6);
    EXPECT_EQ(fs::file_size(adb.work() + "/WEAR_One/tmp/Tavoren_photos/f1.jpg"), 100u);
    EXPECT_TRUE(fs::is_regular_file(adb.work() + "/WEAR_One/Tavoren_photos/f0.jpg"));

    // A file where the target folder should be: nothing moves, all stays in tmp.
    adb.AddFiles("S1", "Tavoren_photos", 3, 100, "g");
    fs::remove_all(adb.work() + "/WEAR_One");
    fs::create_directories(adb.work() + "/WEAR_One");
    std::ofstream(adb.work() + "/WEAR_One/Tavoren_photos") << "in the way";
    EXPECT_EQ(Run(NewJob(JobUpload, 0, "S1", "WEAR_One")).result, 6);
    EXPECT_EQ(CountFiles(adb.work() + "/WEAR_One/tmp"), 6);
}

TEST_F(UploadWorker, DeleteResults) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 3);
    RecordingSink::Notice deleted = Run(NewJob(JobDelete, 2, "S1", "WEAR_One"));
    EXPECT_EQ(deleted.wParam, 2u);
    EXPECT_EQ(deleted.result, 0);
    EXPECT_TRUE(fs::is_empty(adb.root() + "/dev/S1/sdcard/Tavoren_photos"));

    adb.Write("dev/S1/rm_echo", ""); // a shell that echoes the "exit" lines
    EXPECT_EQ(Run(NewJob(JobDelete, 2, "S1", "WEAR_One")).result, 0);

    adb.Write("dev/S1/rm_output", "rm: /sdcard/Tavoren_photos/a: Permission denied\n");
    fs::remove(adb.root() + "/dev/S1/rm_echo");
    EXPECT_EQ(Run(NewJob(JobDelete, 2, "S1", "WEAR_One")).result, 7);

    adb.Write("dev/S1/gone", "");
    EXPECT_EQ(Run(NewJob(JobDelete, 2, "S1", "WEAR_One")).result, 4);
}

TEST_F(UploadWorker, QuitTakesEffectAfterTheRunningJob) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 4);
    adb.Write("dev/S1/pull_delay", "0.2");
    UploadJob* job = NewJob(JobUpload, 0, "S1", "WEAR_One");
    ASSERT_TRUE(worker.PostThreadMessage(UM_UPLOAD_JOB, JobUpload, reinterpret_cast<intptr_t>(job)));
    ASSERT_TRUE(worker.PostThreadMessage(UM_UPLOAD_JOB, JOB_QUIT, 0));
    EXPECT_TRUE(worker.WaitForExit(30000));
    EXPECT_EQ(sink.Next().result, 0);
    EXPECT_EQ(CountFiles(adb.work() + "/WEAR_One/Tavoren_photos"), 4);
    EXPECT_FALSE(worker.PostThreadMessage(UM_UPLOAD_JOB, JobDelete, reinterpret_cast<intptr_t>(job)));
}

TEST_F(UploadWorker, HangingToolsTimeOut) {
    worker.SetCommandTimeout(500);
    adb.AddDevice("S1", "One\n");
    adb.Write("dev/S1/hang", "cat rm");
    auto began = std::chrono::steady_clock::now();
    RecordingSink::Notice naming = Run(NewJob(JobListDevices));
    EXPECT_EQ(naming.result, 4);
    EXPECT_EQ(Run(NewJob(JobDelete, 0, "S1", "WEAR_One")).result, 4);
    adb.Write("hang", "devices");
    EXPECT_EQ(Run(NewJob(JobListDevices)).result, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 20s);
    for (int pid : adb.HangPids()) {
        for (int i = 0; i < 300 && !FakeAdbFixture::ProcessGone(pid); ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(FakeAdbFixture::ProcessGone(pid)) << pid;
    }
}

TEST_F(UploadWorker, CancelEndsAHangingCopy) {
    adb.AddDevice("S1", "One\n");
    adb.AddFiles("S1", "Tavoren_photos", 2);
    adb.Write("dev/S1/hang", "pull");
    UploadJob* job = NewJob(JobUpload, 0, "S1", "WEAR_One");
    ASSERT_TRUE(worker.PostThreadMessage(UM_UPLOAD_JOB, JobUpload, reinterpret_cast<intptr_t>(job)));
    for (int i = 0; i < 1000 && adb.HangPids().size() < 2; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(adb.HangPids().size(), 2u);
    worker.Cancel();
    sink.Next();
    for (int pid : adb.HangPids()) {
        for (int i = 0; i < 300 && !FakeAdbFixture::ProcessGone(pid); ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(FakeAdbFixture::ProcessGone(pid)) << pid;
    }
    // Later jobs start no tool at all.
    EXPECT_EQ(Run(NewJob(JobDelete, 0, "S1", "WEAR_One")).result, 3);
}

TEST_F(UploadWorker, MissingToolIsReported) {
    const std::string path = getenv("PATH");
    setenv("PATH", adb.root().c_str(), 1); // no adb there
    EXPECT_EQ(Run(NewJob(JobListDevices)).result, 2);
    EXPECT_EQ(Run(NewJob(JobDelete, 0, "S1", "WEAR_One")).result, 3);
    setenv("PATH", path.c_str(), 1);
}

TEST_F(UploadWorker, RealToolWithNothingAttached) {
    if (!fs::exists("/usr/bin/adb"))
        GTEST_SKIP() << "adb is not installed";
    const std::string path = getenv("PATH");
    setenv("PATH", "/usr/bin:/bin", 1);
    RecordingSink::Notice notice = Run(NewJob(JobListDevices));
    // The tool starts a server of its own; leave nothing running.
    EXPECT_EQ(RunAndWait({"adb", "kill-server"}), 0);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(notice.result, 1);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    FakeAdbFixture::InstallOnPath();
    return RUN_ALL_TESTS();
}
