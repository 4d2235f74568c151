#pragma once

#include "tools/camsim/CamSim.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testnet {

// Starts a simulated camera in the test process on this process's transport
// settings (call UseIsolatedPorts first): the given UIDs, 320x240 at 25
// frames a second, talk-back saved in the current folder, log lines dropped;
// `change` adjusts the configuration. Null when the camera does not start.
std::unique_ptr<CamSim> StartCamera(const std::vector<std::string>& uids,
                                    const std::function<void(CamSimConfig&)>& change = {});

} // namespace testnet
