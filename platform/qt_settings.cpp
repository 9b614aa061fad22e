// QSettings behind the SettingsStore interface. Texts are 8-bit on the wire and
// in the store alike, so they pass through as Latin-1, byte for byte; integers
// are written as integers and read back from either type.
#include "platform/qt_settings.h"

#include "platform/settings_keys.h"

#include <QSettings>
#include <QStandardPaths>
#include <QVariant>

namespace bm {

namespace {

QString qtKey(std::string_view section, std::string_view name)
{
    QString key = QString::fromLatin1(section.data(), static_cast<qsizetype>(section.size()));
    key.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!key.isEmpty())
        key += QLatin1Char('/');
    key += QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
    return key;
}

std::unique_ptr<QSettings> nativeSettings()
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QString::fromLatin1(keys::kCompany),
                                       QString::fromLatin1(keys::kApplication));
#else
    // The same file QSettings' native format uses, but its folder is looked up
    // now rather than once per process, so XDG_CONFIG_HOME is honoured as it
    // stands when the store opens.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return std::make_unique<QSettings>(folder + QLatin1Char('/') + QLatin1String(keys::kCompany) +
                                           QLatin1Char('/') + QLatin1String(keys::kApplication) +
                                           QLatin1String(".conf"),
                                       QSettings::IniFormat);
#endif
}

QString latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// True when `key` already holds `value` as the file would store it. An INI
// file keeps integers as text, so 25 and "25" are the same stored value.
bool holds(const QSettings& settings, const QString& key, const QVariant& value)
{
    const QVariant old = settings.value(key);
    return old.isValid() && old.toString() == value.toString();
}

void detachFromEventLoop(QSettings& settings)
{
    // QSettings posts itself a deferred flush that would run on its thread
    // outside our lock; every write here syncs at once, so event delivery is
    // switched off for the object.
    settings.moveToThread(nullptr);
}

} // namespace

QSettingsStore::QSettingsStore() : settings_(nativeSettings())
{
    detachFromEventLoop(*settings_);
}

QSettingsStore::QSettingsStore(const QString& iniFilePath)
    : settings_(std::make_unique<QSettings>(iniFilePath, QSettings::IniFormat))
{
    detachFromEventLoop(*settings_);
}

QSettingsStore::~QSettingsStore()
{
    std::lock_guard lock(mutex_);
    settings_->sync();
}

int QSettingsStore::readInt(std::string_view section, std::string_view name, int defaultValue)
{
    std::lock_guard lock(mutex_);
    const QVariant v = settings_->value(qtKey(section, name));
    if (!v.isValid())
        return defaultValue;
    // An INI file hands integers back as text; a registry DWORD comes typed.
    bool ok = false;
    const int value = v.typeId() == QMetaType::QString ? v.toString().toInt(&ok) : v.toInt(&ok);
    return ok ? value : defaultValue;
}

std::string QSettingsStore::readString(std::string_view section, std::string_view name,
                                       std::string_view defaultValue)
{
    std::lock_guard lock(mutex_);
    const QVariant v = settings_->value(qtKey(section, name));
    if (!v.isValid())
        return std::string(defaultValue);
    return v.toString().toLatin1().toStdString();
}

bool QSettingsStore::writeInt(std::string_view section, std::string_view name, int value)
{
    std::lock_guard lock(mutex_);
    return setAndFlush({{qtKey(section, name), QVariant(value)}});
}

bool QSettingsStore::writeString(std::string_view section, std::string_view name,
                                 std::string_view value)
{
    std::lock_guard lock(mutex_);
    return setAndFlush({{qtKey(section, name), QVariant(latin1(value))}});
}

bool QSettingsStore::writeBatch(const std::vector<SettingsValue>& values)
{
    std::vector<std::pair<QString, QVariant>> changes;
    changes.reserve(values.size());
    for (const SettingsValue& v : values) {
        if (const int* i = std::get_if<int>(&v.value))
            changes.emplace_back(qtKey(v.section, v.name), QVariant(*i));
        else
            changes.emplace_back(qtKey(v.section, v.name), QVariant(latin1(std::get<std::string>(v.value))));
    }
    std::lock_guard lock(mutex_);
    return setAndFlush(changes);
}

bool QSettingsStore::contains(std::string_view section, std::string_view name)
{
    std::lock_guard lock(mutex_);
    return settings_->contains(qtKey(section, name));
}

std::size_t QSettingsStore::fileWrites() const
{
    std::lock_guard lock(mutex_);
    return fileWrites_;
}

QString QSettingsStore::location() const
{
    std::lock_guard lock(mutex_);
    return settings_->fileName();
}

bool QSettingsStore::setAndFlush(const std::vector<std::pair<QString, QVariant>>& changes)
{
    // A value that is already there is not set again: QSettings would mark the
    // file changed and rewrite it whole, and a program run every second that
    // writes back what it read would rewrite the file every second.
    bool changed = false;
    for (const auto& [key, value] : changes) {
        if (holds(*settings_, key, value))
            continue;
        settings_->setValue(key, value);
        changed = true;
    }
    if (!changed)
        return settings_->status() == QSettings::NoError;
    ++fileWrites_;
    return flush();
}

bool QSettingsStore::flush()
{
    settings_->sync();
    return settings_->status() == QSettings::NoError;
}

} // namespace bm
