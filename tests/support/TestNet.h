#pragma once

#include <chrono>
#include <functional>
#include <string>

// Test helpers for the transport: each test process searches its own range
// of ports, so parallel tests and a camsim a person left running never meet.
namespace testnet {

// Picks a random free search port range and makes it this process's setting
// (and the environment's, for child processes). Returns the first port.
int UseIsolatedPorts(int sessionTimeoutMs = 3000, int searchTimeoutMs = 1500);
// A UID no other test process uses.
std::string UniqueUid(const std::string& tag);
// Polls `done` every 10 ms until it holds or timeoutMs passes.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);
double SecondsSince(std::chrono::steady_clock::time_point start);

} // namespace testnet
