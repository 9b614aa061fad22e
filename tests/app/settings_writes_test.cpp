// How often the real settings file is written while the definitions are
// downloaded: the program's own QSettings store on an INI file, the link and
// the model against the simulated unit, and inotify counting every time the
// file is replaced or rewritten.
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/manual_owner_window.h"
#include "platform/qt_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/settings_keys.h"
#include "platform/termios_serial.h"
#include "sim/sim_server.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sys/inotify.h>
#include <unistd.h>

namespace bm {

namespace {

// Counts the writes of one file in a folder, whether by replacing it (as
// QSettings saves) or by rewriting it in place.
class FileWriteCounter {
public:
    FileWriteCounter(const QString& folder, const char* fileName) : name_(fileName)
    {
        fd_ = inotify_init1(IN_NONBLOCK);
        if (fd_ >= 0)
            inotify_add_watch(fd_, folder.toLocal8Bit().constData(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    ~FileWriteCounter()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    // Reads the events so far; returns the writes counted since construction.
    int count()
    {
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + i);
                if (e->len > 0 && std::strcmp(e->name, name_) == 0)
                    ++((e->mask & IN_MOVED_TO) ? replaced_ : closed_);
                i += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        // A save by rename shows as both a close and a move of the name; a
        // rewrite in place as a close only.
        return std::max(replaced_, closed_);
    }

private:
    const char* name_;
    int fd_ = -1;
    int replaced_ = 0;
    int closed_ = 0;
};

} // namespace

class SettingsWritesTest : public QObject {
    Q_OBJECT

private slots:
    void aForcedDownloadWritesTheSettingsFileTwice()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QSettingsStore settings(folder.filePath(QStringLiteral("store.ini")));
        for (const auto& [name, value] : {std::pair{keys::kWritePacketCheckInterval.name, 2},
                                          std::pair{keys::kWritePacketExtraDelayBefore.name, 0},
                                          std::pair{keys::kWritePacketExtraDelayAfter.name, 0},
                                          std::pair{keys::kWritePacketDoCharDelay.name, 0}})
            settings.writeInt(keys::kComm, name, value);

        sim::SimOptions options;
        options.fast = true;
        sim::SimServer unit(options);
        QVERIFY(unit.start());
        const sim::UnitSnapshot snap = unit.snapshot();
        ScriptedPrompt prompt;
        ManualOwnerWindow owner;
        TermiosSerialPort port(settings, unit.devicePath());
        DeviceModel model(settings, prompt);

        FileWriteCounter counter(folder.path(), "store.ini");
        QVERIFY(counter.ok());
        // The link writes its fourteen "Comm" values back as it is built:
        // start-up, not the download. The download runs after that.
        auto link = std::make_unique<CQuorControl>(CQuorControl::Environment{owner, settings, prompt, port}, 1,
                                                   true, &model);
        const int atConstruction = counter.count();
        QTRY_VERIFY_WITH_TIMEOUT(!link->state().StatusSweepActive && !link->state().ReloadDefinitions, 60000);
        const int download = counter.count() - atConstruction;
        qInfo("settings file writes: %d during construction, %d for the download of %zu parameter and "
              "%zu effect definitions",
              atConstruction, download, snap.paramNames.size(), snap.effectNames.size());
        QVERIFY(download >= 1);
        QVERIFY(download <= 5);
        QCOMPARE(download, 2);
        link.reset();

        // What was written in those two is the whole cache, marked complete.
        QSettingsStore reread(folder.filePath(QStringLiteral("store.ini")));
        QVERIFY(!DeviceModel::definitionCacheMissing(reread));
        char key[8];
        std::snprintf(key, sizeof key, "0x%02x", static_cast<int>(snap.paramNames.size() - 1));
        QCOMPARE(reread.readString(keys::kCacheParamNames, key, ""), snap.paramNames.back());
    }
};

} // namespace bm

QTEST_MAIN(bm::SettingsWritesTest)
#include "settings_writes_test.moc"
