#include "tests/support/CameraStarter.h"

namespace testnet {

std::unique_ptr<CamSim> StartCamera(const std::vector<std::string>& uids,
                                    const std::function<void(CamSimConfig&)>& change) {
    CamSimConfig config;
    config.uids = uids;
    config.width = 320;
    config.height = 240;
    config.settings = P2PSettings::Current();
    config.log = [](const std::string&) {};
    if (change)
        change(config);
    auto camera = std::make_unique<CamSim>(config);
    if (camera->Start() != 0)
        return nullptr;
    return camera;
}

} // namespace testnet
