// The user settings on Windows: the registry, where the control panel built
// with Qt keeps its own (QSettings' native format).
#include "platform/user_settings.h"

#include "platform/registry_settings.h"

namespace bm {

std::unique_ptr<SettingsStore> openUserSettings()
{
    return std::make_unique<RegistrySettingsStore>(brennmarkRegistryKey());
}

std::unique_ptr<SettingsStore> openSimulatedUnitSettings()
{
    return std::make_unique<RegistrySettingsStore>(brennmarkRegistryKey("-simulated"));
}

} // namespace bm
