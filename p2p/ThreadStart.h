#pragma once

#include <functional>
#include <thread>

namespace p2p {

// Starts `thread` running `body`. False, with `thread` left empty, when the
// system cannot start another thread: callers fail their call instead of
// letting the exception end the process.
bool StartThread(std::thread& thread, std::function<void()> body);

} // namespace p2p
