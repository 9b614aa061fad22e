// The per-user settings store of a program without windows (brennmark-cli, the
// service), chosen at build time: the QSettings store on Linux, the registry
// (HKEY_CURRENT_USER\Software\Tollvane\Brennmark) on Windows. Both are where
// the control panel keeps its own, so every program shares one cache and port.
#pragma once

#include "platform/settings_store.h"

#include <memory>

namespace bm {

// The program's own store.
std::unique_ptr<SettingsStore> openUserSettings();
// The simulated unit's store ("Brennmark-simulated"), kept apart so that its
// definition cache never replaces a real unit's.
std::unique_ptr<SettingsStore> openSimulatedUnitSettings();

} // namespace bm
