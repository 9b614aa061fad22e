// The user settings of a program without Qt on Linux: the panel's own INI
// file, Tollvane/Brennmark.conf under $XDG_CONFIG_HOME (an absolute path) or
// ~/.config, where QSettings keeps it, looked up when the store opens.
#include "platform/user_settings.h"

#include "platform/ini_settings.h"
#include "platform/settings_keys.h"

#include <cstdlib>
#include <string>

namespace bm {

namespace {

std::string configFolder()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    std::string folder = home != nullptr && home[0] != '\0' ? home : "/";
    if (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return (folder == "/" ? std::string() : folder) + "/.config";
}

std::string storePath(const char* suffix)
{
    return configFolder() + "/" + keys::kCompany + "/" + keys::kApplication + suffix;
}

} // namespace

std::unique_ptr<SettingsStore> openUserSettings()
{
    return std::make_unique<IniSettingsStore>(storePath(".conf"));
}

std::unique_ptr<SettingsStore> openSimulatedUnitSettings()
{
    return std::make_unique<IniSettingsStore>(storePath("-simulated.conf"));
}

} // namespace bm
