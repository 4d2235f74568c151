#pragma once

#include "p2p/SocketUtil.h"
#include <functional>

#include <string>
#include <vector>

namespace p2p {

// Resolves host names to their IPv4 and IPv6 addresses. A numeric address
// (IPv6 with or without brackets, "fe80::1%eth0" with its interface) needs no look-up;
// each name is looked up on a short-lived thread of its own, all at once, so
// that a slow resolver holds the caller at most timeoutMs and a cancel is
// seen within a few milliseconds (a look-up left behind finishes unseen).
//
// Fills `out` with the addresses (port 0) of every host that resolved in
// time, in the order of `hosts` and for each in the resolver's order of
// preference, without repeats. P2P_OK, or P2P_ERR_CANCELLED once cancelled() holds.
int ResolveHosts(const std::vector<std::string>& hosts, int timeoutMs, const std::function<bool()>& cancelled,
                 std::vector<SocketAddress>& out);

} // namespace p2p
