#include "platform/NamedMutex.h"

#include <map>
#include <memory>

namespace {

std::recursive_mutex* MutexForName(const std::string& name) {
    static std::mutex registryLock;
    static std::map<std::string, std::unique_ptr<std::recursive_mutex>> registry;
    std::lock_guard<std::mutex> guard(registryLock);
    auto& slot = registry[name];
    if (!slot)
        slot = std::make_unique<std::recursive_mutex>();
    return slot.get();
}

} // namespace

NamedMutex::NamedMutex(const std::string& name) : m_name(name), m_mutex(MutexForName(name)) {}
