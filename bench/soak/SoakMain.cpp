// VantorSoak: runs Vantor's real main window against four simulated cameras
// for a given time under random operations and checks that nothing leaks,
// hangs, crashes or stays stuck (see SoakRun). Run by scripts/soak, which
// gives it a fresh current folder:
//   VantorSoak --minutes N --camsim PATH [--seed S] [--keep-recordings]
// Exit status: 0 all checks passed, 1 a check failed, 2 bad usage, 3 the
// window hung; a crash ends it by its signal.
#include "app/CVantorApp.h"
#include "app/CVantorDlg.h"
#include "app/DeviceStore.h"
#include "app/MessageBox.h"
#include "bench/soak/CameraFleet.h"
#include "bench/soak/SoakRun.h"
#include "p2p/P2PSettings.h"
#include "tests/support/TestNet.h"

#include <QDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: VantorSoak --minutes N --camsim PATH [--seed S] [--keep-recordings]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    CVantorApp::LimitMemoryArenas(); // as the program does
    SoakRun::Options options;
    options.seed = std::random_device{}();
    std::string camsim;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--minutes" && i + 1 < argc)
            options.minutes = std::atoi(argv[++i]);
        else if (arg == "--seed" && i + 1 < argc)
            options.seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (arg == "--camsim" && i + 1 < argc)
            camsim = argv[++i];
        else if (arg == "--keep-recordings")
            keep = true;
        else
            return Usage();
    }
    if (options.minutes < 1 || camsim.empty())
        return Usage();
    // A process group of its own, shared with the cameras, so that the
    // script can end whatever a crash or a hang leaves behind.
    setpgid(0, 0);

    // Headless: no screen, a speaker that writes nowhere, a silent microphone.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    setenv("SDL_DISKAUDIOFILEIN", "/dev/zero", 1);
    // Search ports of its own, with the transport's usual patience. A pane
    // that lost its camera connects again within the longest retry wait plus
    // one search and one session time-out, and a margin.
    const P2PSettings defaults;
    testnet::UseIsolatedPorts(defaults.sessionTimeoutMs, defaults.searchTimeoutMs);
    options.reconnectLimit = std::chrono::seconds(
        (LiveThread::kLongestRetryMs + defaults.searchTimeoutMs + defaults.sessionTimeoutMs) / 1000 + 5);

    std::vector<std::string> uids;
    {
        DeviceStore store("LiveData.mdb");
        store.Load(StatusWatch::kRows, [](int, int, const std::string&) {});
        for (int i = 0; i < StatusWatch::kRows; ++i) {
            uids.push_back(testnet::UniqueUid("SOAK" + std::to_string(i)));
            if (store.Assign(i, uids.back()) != 0) {
                std::fprintf(stderr, "soak: %s\n", store.LastError().c_str());
                return 1;
            }
        }
    }
    QDir().mkpath(QStringLiteral("talkback"));
    CameraFleet fleet(camsim, {"--size", "1280x720", "--fps", "15", "--talkback-dir", "talkback"}, ".");
    for (const std::string& uid : uids) {
        if (!fleet.Start(fleet.Add(uid))) {
            std::fprintf(stderr, "soak: cannot start %s\n", camsim.c_str());
            return 1;
        }
    }
    std::printf("soak: %d minutes, seed %u, in %s\n", options.minutes, options.seed, qPrintable(QDir::currentPath()));
    std::fflush(stdout);

    CVantorApp app(argc, argv);
    MessageBox::SetRecording(true);
    auto dlg = std::make_unique<CVantorDlg>(nullptr);
    SoakRun run(*dlg, fleet, options);
    QTimer::singleShot(0, dlg.get(), [&run] { run.Begin(); });
    dlg->exec();
    dlg.reset(); // as CVantorApp::InitInstance does: the panes stop here
    const double closeSeconds = std::chrono::duration<double>(SoakRun::Clock::now() - run.CloseRequested()).count();
    return run.Finish(closeSeconds, keep);
}
