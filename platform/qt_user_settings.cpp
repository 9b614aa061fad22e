// The user settings through QSettings: the native store, and the simulated
// unit's file beside it.
#include "platform/user_settings.h"

#include "platform/qt_settings.h"
#include "platform/settings_keys.h"

#include <QDir>
#include <QStandardPaths>

namespace bm {

std::unique_ptr<SettingsStore> openUserSettings()
{
    return std::make_unique<QSettingsStore>();
}

std::unique_ptr<SettingsStore> openSimulatedUnitSettings()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                        QLatin1Char('/') + QLatin1String(keys::kCompany);
    QDir().mkpath(dir);
    return std::make_unique<QSettingsStore>(dir + QLatin1Char('/') + QLatin1String(keys::kApplication) +
                                            QStringLiteral("-simulated.conf"));
}

} // namespace bm
