#pragma once

#include <functional>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace p2p {

// Resolves host names to IPv4 addresses. A numeric address needs no look-up;
// each name is looked up on a short-lived thread of its own, all at once, so
// that a slow resolver holds the caller at most timeoutMs and a cancel is
// seen within a few milliseconds (a look-up left behind finishes unseen).
//
// Fills `out` with the address of every host that resolved in time, in the
// order of `hosts`. P2P_OK, or P2P_ERR_CANCELLED once cancelled() holds.
int ResolveHosts(const std::vector<std::string>& hosts, int timeoutMs, const std::function<bool()>& cancelled,
                 std::vector<in_addr>& out);

} // namespace p2p
