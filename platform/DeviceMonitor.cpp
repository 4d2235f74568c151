#include "platform/DeviceMonitor.h"
#include "platform/ThreadName.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

DeviceMonitor::~DeviceMonitor() {
    Stop();
}

bool DeviceMonitor::Start(Callback callback) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_thread.joinable())
        return false;
    m_udev = udev_new();
    if (m_udev)
        m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    bool ok = m_monitor && udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "usb", nullptr) >= 0 &&
              udev_monitor_enable_receiving(m_monitor) >= 0 && pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) == 0;
    if (ok) {
        m_callback = std::move(callback);
        m_stop = 0;
        try {
            m_thread = std::thread(&DeviceMonitor::Run, this);
        } catch (const std::system_error&) {
            m_stop = 1;
            ok = false;
        }
    }
    if (!ok) {
        for (int& fd : m_wake) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
        if (m_monitor)
            udev_monitor_unref(m_monitor);
        if (m_udev)
            udev_unref(m_udev);
        m_monitor = nullptr;
        m_udev = nullptr;
    }
    return ok;
}

void DeviceMonitor::Stop() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> exitGuard(m_exitLock);
        m_stop = 1;
        char byte = 1;
        [[maybe_unused]] ssize_t n = write(m_wake[1], &byte, 1);
    }
    m_thread.join();
    for (int& fd : m_wake) {
        close(fd);
        fd = -1;
    }
    udev_monitor_unref(m_monitor);
    udev_unref(m_udev);
    m_monitor = nullptr;
    m_udev = nullptr;
    m_callback = nullptr;
}

void DeviceMonitor::Run() {
    NameThisThread("vantor-usb");
    const int fd = udev_monitor_get_fd(m_monitor);
    while (!m_stop) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        int n = poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0 || m_stop)
            break;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        udev_device* device = udev_monitor_receive_device(m_monitor);
        if (!device)
            continue;
        const char* action = udev_device_get_action(device);
        uint32_t event = 0;
        if (action && std::strcmp(action, "add") == 0)
            event = DBT_DEVICEARRIVAL;
        else if (action && std::strcmp(action, "remove") == 0)
            event = DBT_DEVICEREMOVECOMPLETE;
        udev_device_unref(device);
        if (event != 0 && m_callback)
            m_callback(event);
    }
}
