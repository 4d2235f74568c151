#include "bench/soak/CameraFleet.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

CameraFleet::CameraFleet(std::string program, std::vector<std::string> commonArgs, std::string logDir)
    : m_program(std::move(program)), m_commonArgs(std::move(commonArgs)), m_logDir(std::move(logDir)) {}

CameraFleet::~CameraFleet() {
    for (Camera& camera : m_cameras) {
        if (camera.pid > 0) {
            kill(camera.pid, SIGTERM);
            waitpid(camera.pid, nullptr, 0);
        }
    }
}

int CameraFleet::Add(const std::string& uid) {
    m_cameras.push_back({uid, -1, {}});
    return Count() - 1;
}

bool CameraFleet::Start(int i, const std::vector<std::string>& faultArgs) {
    Camera& camera = m_cameras.at(static_cast<size_t>(i));
    if (camera.pid > 0)
        return true;
    std::vector<std::string> args{m_program, "--uid", camera.uid};
    args.insert(args.end(), m_commonArgs.begin(), m_commonArgs.end());
    args.insert(args.end(), faultArgs.begin(), faultArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const std::string log = m_logDir + "/camera-" + std::to_string(i) + ".log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int result = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0)
        return false;
    camera.pid = pid;
    camera.upSince = Clock::now();
    return true;
}

void CameraFleet::Kill(int i) {
    Camera& camera = m_cameras.at(static_cast<size_t>(i));
    if (camera.pid <= 0)
        return;
    kill(camera.pid, SIGKILL);
    waitpid(camera.pid, nullptr, 0);
    camera.pid = -1;
}

std::optional<CameraFleet::Clock::time_point> CameraFleet::UpSince(int i) const {
    const Camera& camera = m_cameras.at(static_cast<size_t>(i));
    if (camera.pid <= 0)
        return std::nullopt;
    return camera.upSince;
}

std::vector<std::string> CameraFleet::TakeCrashes() {
    std::vector<std::string> crashes;
    for (size_t i = 0; i < m_cameras.size(); ++i) {
        Camera& camera = m_cameras[i];
        int status = 0;
        if (camera.pid <= 0 || waitpid(camera.pid, &status, WNOHANG) != camera.pid)
            continue;
        camera.pid = -1;
        crashes.push_back("camera " + std::to_string(i) + " (" + camera.uid + ") ended by itself: " +
                          (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                               : "exit status " + std::to_string(WEXITSTATUS(status))));
    }
    return crashes;
}
