#pragma once

// A real mosquitto broker for a test or a bench: on a free loopback port of
// its own, with Vantor's sample ACL and a password file of the accounts
// given, started as a child process and stopped by its process id. Stop and
// Start again keep the port (a broker restart under live clients).
#include "tests/support/TestFiles.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

class TestBroker {
public:
    // accounts: name -> password. Without any, anonymous clients may do anything.
    explicit TestBroker(const std::map<std::string, std::string>& accounts = {}) : m_port(FreePort()) {
        std::string passwd = (m_dir.path() / "passwd").string();
        std::ofstream conf(m_dir.path() / "mosquitto.conf");
        conf << "listener " << m_port << " 127.0.0.1\nset_tcp_nodelay true\npersistence false\nmax_packet_size 20000\n"
             << "log_dest none\nuser root\n"; // as root: keep the rights to the test folder
        if (accounts.empty()) {
            conf << "allow_anonymous true\n";
        } else {
            conf << "allow_anonymous false\npassword_file " << passwd << "\nacl_file " << VANTOR_SOURCE_DIR
                 << "/res/p2p/mosquitto/vantor.acl\n";
            for (const auto& [name, password] : accounts) {
                std::string command = "mosquitto_passwd -b " + std::string(std::ifstream(passwd) ? "" : "-c ") +
                                      passwd + " '" + name + "' '" + password + "'";
                m_ready = std::system(command.c_str()) == 0;
            }
        }
    }
    ~TestBroker() { Stop(); }
    // Makes the last listener speak TLS only (mqtts) with the certificate and
    // key given (PEM files); call before Start.
    void UseTls(const std::string& certFile, const std::string& keyFile) {
        std::ofstream(m_dir.path() / "mosquitto.conf", std::ios::app)
            << "certfile " << certFile << "\nkeyfile " << keyFile << "\n";
    }
    // A second listener, on ::1 and a port of its own, which it answers.
    uint16_t AddIpv6Listener() {
        uint16_t port = FreePort();
        std::ofstream(m_dir.path() / "mosquitto.conf", std::ios::app) << "listener " << port << " ::1\n";
        return port;
    }
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    // Starts mosquitto and waits until it accepts connections.
    bool Start() {
        if (!m_ready)
            return false;
        std::string conf = (m_dir.path() / "mosquitto.conf").string();
        m_pid = fork();
        if (m_pid == 0) {
            std::string log = (m_dir.path() / "mosquitto.log").string();
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(fd, STDERR_FILENO);
            execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return m_pid > 0 && WaitAccepting(m_port);
    }
    void Stop() {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    uint16_t port() const { return m_port; }
    pid_t pid() const { return m_pid; }

    static uint16_t FreePort() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
        close(fd);
        return ntohs(addr.sin_port);
    }

    // Waits up to 5 s until a server accepts TCP connections on the loopback port.
    static bool WaitAccepting(uint16_t port) {
        for (int i = 0; i < 500; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(port);
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            close(fd);
            if (ok)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    TempDir m_dir;
    uint16_t m_port;
    bool m_ready = true;
    pid_t m_pid = -1;
};
