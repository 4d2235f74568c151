#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The soak's simulated cameras: one vantor-camsim child process per UID, each
// writing to its own log file. A camera can be killed with SIGKILL and started
// again, with other fault switches if wanted. A camera that ends without
// being killed is reported as a crash.
class CameraFleet {
public:
    using Clock = std::chrono::steady_clock;

    // `program` is vantor-camsim; `commonArgs` go to every camera.
    CameraFleet(std::string program, std::vector<std::string> commonArgs, std::string logDir);
    ~CameraFleet();
    CameraFleet(const CameraFleet&) = delete;
    CameraFleet& operator=(const CameraFleet&) = delete;

    // Adds a camera (not started); returns its index.
    int Add(const std::string& uid);
    bool Start(int i, const std::vector<std::string>& faultArgs = {});
    void Kill(int i);
    // When camera i last started, or nothing while it is down.
    std::optional<Clock::time_point> UpSince(int i) const;
    int Count() const { return static_cast<int>(m_cameras.size()); }

    // Cameras that ended by themselves since the last call, described.
    std::vector<std::string> TakeCrashes();

private:
    struct Camera {
        std::string uid;
        pid_t pid = -1;
        Clock::time_point upSince;
    };

    std::string m_program;
    std::vector<std::string> m_commonArgs;
    std::string m_logDir;
    std::vector<Camera> m_cameras;
};
