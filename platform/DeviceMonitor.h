#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// Follows USB devices coming and going (libudev, subsystem "usb") and reports
// each as an arrival or a removal through a callback that runs on the
// monitor's own thread; a window marshals it to its own thread.
//
// Start() returns false when the system offers no monitor (no udev, no
// netlink); the owner then simply gets no events.
class DeviceMonitor {
public:
    static constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
    static constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;

    using Callback = std::function<void(uint32_t event)>;

    DeviceMonitor() = default;
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    bool Start(Callback callback);
    void Stop();

private:
    void Run();

    std::mutex m_lock;     // object lock: start and stop
    std::mutex m_exitLock; // guards the stop flag's changes
    std::atomic<uint8_t> m_stop{1};
    std::thread m_thread;
    Callback m_callback;
    struct udev* m_udev = nullptr;
    struct udev_monitor* m_monitor = nullptr;
    int m_wake[2] = {-1, -1};
};
