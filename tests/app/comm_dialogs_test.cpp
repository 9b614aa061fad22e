// The communication dialogs: the Advanced dialog's field-by-field validation
// and what it applies and stores, and the Comm Config dialog's values and
// serial devices.
#include "app/comm_dialogs.h"
#include "link/quor_control.h"
#include "platform/serial_ports.h"
#include "tests/app/app_rig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

using namespace bm;
using namespace bm::test;

namespace {

QLineEdit* edit(QDialog& d, const char* name)
{
    return d.findChild<QLineEdit*>(QString::fromLatin1(name));
}

const char* const kWritePacketKeys[] = {
    "WritePacketCheckInterval",  "WritePacketExtraDelayBeforeWriting", "WritePacketExtraDelayAfterWriting",
    "WritePacketAckWaitCount",   "WritePacketAckWaitInterval",         "WritePacketDoCharDelay",
};

} // namespace

class CommDialogsTest : public QObject {
    Q_OBJECT
private slots:
    void advancedValidatesInItsOwnOrder_data()
    {
        QTest::addColumn<QStringList>("entries"); // field=text
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        QTest::newRow("1001") << QStringList{"ackWaitCount=1001"}
                              << "Ack Wait Count: Please enter an integer between 0 and 1000." << "ackWaitCount";
        QTest::newRow("letters") << QStringList{"ackWaitInterval=ten"} << "Ack Wait Interval: Please enter a positive integer."
                                 << "ackWaitInterval";
        QTest::newRow("negative") << QStringList{"delayBefore=-1"} << "Extra Delay Before Sending: Please enter a positive integer."
                                  << "delayBefore";
        QTest::newRow("empty") << QStringList{"checkInterval="} << "Send Packet Check Interval: Please enter a positive integer."
                               << "checkInterval";
        QTest::newRow("huge") << QStringList{"delayAfter=99999999999999999999"}
                              << "Extra Delay After Sending: Please enter an integer between 0 and 1000." << "delayAfter";
        // Only the first failure in the order Ack Wait Count, Ack Wait
        // Interval, After, Before, Check Interval is reported.
        QTest::newRow("two bad fields") << QStringList{"checkInterval=x", "delayAfter=2000"}
                                        << "Extra Delay After Sending: Please enter an integer between 0 and 1000." << "delayAfter";
        QTest::newRow("two bad fields, other order") << QStringList{"delayBefore=abc", "checkInterval=5000"}
                                                     << "Extra Delay Before Sending: Please enter a positive integer." << "delayBefore";
    }
    void advancedValidatesInItsOwnOrder()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        InMemorySettings settings;
        ScriptedPrompt prompt;
        CAdvancedCommDlg dialog(settings, prompt, nullptr);
        dialog.show();
        for (const QString& e : entries) {
            const auto parts = e.split('=');
            edit(dialog, qPrintable(parts[0]))->setText(parts[1]);
        }
        dialog.accept();
        QCOMPARE(prompt.texts(), std::vector<std::string>{message.toStdString()});
        QVERIFY(dialog.isVisible()); // stays open
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(dialog.focusWidget(), edit(dialog, qPrintable(focus)));
        QCOMPARE(settings.size(), std::size_t(0)); // nothing stored
    }

    void advancedShowsStoredValuesAndAppliesThemToTheRunningLink()
    {
        FakeUnitRig unit;
        unit.settings.writeInt(keys::kComm, "WritePacketAckWaitCount", 7);
        unit.settings.writeInt(keys::kComm, "WritePacketDoCharDelay", 0);
        CAdvancedCommDlg dialog(unit.settings, unit.prompt, unit.link.get());
        QCOMPARE(edit(dialog, "ackWaitCount")->text(), QStringLiteral("7"));
        QVERIFY(!dialog.findChild<QCheckBox*>(QStringLiteral("charDelay"))->isChecked());

        edit(dialog, "checkInterval")->setText(QStringLiteral("3"));
        edit(dialog, "delayBefore")->setText(QStringLiteral(" 0 "));
        edit(dialog, "delayAfter")->setText(QStringLiteral("1000"));
        edit(dialog, "ackWaitCount")->setText(QStringLiteral("12"));
        edit(dialog, "ackWaitInterval")->setText(QStringLiteral("15"));
        dialog.findChild<QCheckBox*>(QStringLiteral("charDelay"))->setChecked(true);
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(unit.prompt.texts().empty());

        const int expected[] = {3, 0, 1000, 12, 15, 1};
        const Timing timings[] = {Timing::WritePacketCheckInterval,   Timing::WritePacketExtraDelayBeforeWriting,
                                  Timing::WritePacketExtraDelayAfterWriting, Timing::WritePacketAckWaitCount,
                                  Timing::WritePacketAckWaitInterval, Timing::WritePacketDoCharDelay};
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(unit.link->timing(timings[i]), expected[i]);
            QCOMPARE(unit.settings.readInt(keys::kComm, kWritePacketKeys[i], -7), expected[i]);
        }
    }

    void advancedWithoutALinkOnlyStores()
    {
        InMemorySettings settings;
        ScriptedPrompt prompt;
        CAdvancedCommDlg dialog(settings, prompt, nullptr);
        for (const char* f : {"checkInterval", "delayBefore", "delayAfter", "ackWaitCount", "ackWaitInterval"})
            QCOMPARE(edit(dialog, f)->text(), QStringLiteral("0")); // absent values read as 0
        dialog.findChild<QPushButton*>(QStringLiteral("resetDefaults"))->click();
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        for (int i = 0; i < 5; ++i)
            QCOMPARE(settings.readInt(keys::kComm, kWritePacketKeys[i], -7), 10);
        QCOMPARE(settings.readInt(keys::kComm, kWritePacketKeys[5], -7), 1);
    }

    void resetDefaultsThenCancelChangesNothing()
    {
        FakeUnitRig unit;
        const std::size_t stored = unit.settings.size();
        const int ackCount = unit.link->timing(Timing::WritePacketAckWaitCount);
        CAdvancedCommDlg dialog(unit.settings, unit.prompt, unit.link.get());
        dialog.findChild<QPushButton*>(QStringLiteral("resetDefaults"))->click();
        QCOMPARE(edit(dialog, "ackWaitCount")->text(), QStringLiteral("10"));
        QVERIFY(dialog.findChild<QCheckBox*>(QStringLiteral("charDelay"))->isChecked());
        dialog.reject();
        QCOMPARE(unit.link->timing(Timing::WritePacketAckWaitCount), ackCount);
        QCOMPARE(unit.settings.readInt(keys::kComm, "WritePacketAckWaitCount", -7), ackCount);
        QCOMPARE(unit.settings.size(), stored);
    }

    void commConfigValuesAndDevices()
    {
        InMemorySettings settings;
        ScriptedPrompt prompt;
        PlayedRunner runner;
        settings.writeString(keys::kComm, "Com2Device", "/dev/ttyUSB0");
        {
            CCommConfigDlg dialog(CommConfigValues{1, 1, 0}, settings, prompt, runner, nullptr);
            QCOMPARE(dialog.findChild<QComboBox*>(QStringLiteral("port"))->currentText(), QStringLiteral("COM2"));
            QCOMPARE(edit(dialog, "device1")->text(), QStringLiteral("/dev/ttyS0"));
            QCOMPARE(edit(dialog, "device2")->text(), QStringLiteral("/dev/ttyUSB0"));
            QCOMPARE(edit(dialog, "device4")->text(), QStringLiteral("/dev/ttyS3"));
            const CommConfigValues v = dialog.values();
            QCOMPARE(v.portIndex, 1);
            QCOMPARE(v.dontShow, 1);
            QCOMPARE(v.forceDownload, 0);

            edit(dialog, "device3")->setText(QStringLiteral("/dev/ttyACM0"));
            dialog.reject(); // Cancel keeps nothing
            QVERIFY(!settings.contains(keys::kComm, "Com3Device"));
        }
        {
            CCommConfigDlg dialog(CommConfigValues{1, 0, 1}, settings, prompt, runner, nullptr);
            edit(dialog, "device3")->setText(QStringLiteral("/dev/ttyACM0"));
            edit(dialog, "device2")->setText(QString()); // back to its default
            dialog.accept();
            QCOMPARE(settings.readString(keys::kComm, "Com3Device", ""), std::string("/dev/ttyACM0"));
            QCOMPARE(settings.readString(keys::kComm, "Com2Device", ""), std::string("/dev/ttyS1"));
        }
        {
            // A stored index outside COM1..COM4 leaves the list without a selection.
            CCommConfigDlg dialog(CommConfigValues{7, 0, 0}, settings, prompt, runner, nullptr);
            QCOMPARE(dialog.values().portIndex, -1);
        }
    }

    void advancedOpensFromCommConfigAndItsCancelKeepsItsValues()
    {
        InMemorySettings settings;
        ScriptedPrompt prompt;
        PlayedRunner runner;
        runner.script = [](QDialog& d) {
            edit(d, "ackWaitCount")->setText(QStringLiteral("4"));
            d.accept();
            return d.result();
        };
        CCommConfigDlg dialog(CommConfigValues{0, 0, 0}, settings, prompt, runner, nullptr);
        dialog.findChild<QPushButton*>(QStringLiteral("advanced"))->click();
        QCOMPARE(runner.titles, QStringList{QStringLiteral("Brennmark Advanced Comm Settings")});
        dialog.reject();
        QCOMPARE(settings.readInt(keys::kComm, "WritePacketAckWaitCount", -7), 4);
    }

    void theSerialDevicesThatExistAndOpenAreListed()
    {
        // A /dev of our own: plain files open like devices; a directory does not.
        QTemporaryDir dev;
        auto touch = [&](const QString& name) {
            QFile f(dev.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        };
        for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS10", "ttyS1", "ttyXYZ", "ttyS", "tty0"})
            touch(QString::fromLatin1(name));
        QVERIFY(QDir(dev.path()).mkpath(QStringLiteral("ttyS2"))); // does not open
        QVERIFY(QDir(dev.path()).mkpath(QStringLiteral("serial/by-id")));
        QVERIFY(QFile::link(dev.filePath(QStringLiteral("ttyUSB1")),
                            dev.filePath(QStringLiteral("serial/by-id/usb-FTDI_FT232R-if00-port0"))));
        const std::string d = dev.path().toStdString();
        const std::vector<std::string> expected{
            d + "/serial/by-id/usb-FTDI_FT232R-if00-port0", // ttyUSB1 under its lasting name, once
            d + "/ttyUSB0", d + "/ttyACM0", d + "/ttyS1", d + "/ttyS10",
        };
        QCOMPARE(serialDevicesUnder(d), expected);
        QVERIFY(serialDevicesUnder(d + "/missing").empty());
    }

    void commConfigOffersTheDevicesFoundAndSaysWhichIsInUse()
    {
        InMemorySettings settings;
        ScriptedPrompt prompt;
        PlayedRunner runner;
        CCommConfigDlg dialog(CommConfigValues{}, settings, prompt, runner, nullptr);
        const auto found = availableSerialDevices();
        auto* choice = dialog.findChild<QLineEdit*>(QStringLiteral("device1"))->parentWidget();
        auto* combo = qobject_cast<QComboBox*>(choice);
        QVERIFY(combo);
        // The devices found, then the service; picking the service puts its
        // device name in the field.
        QCOMPARE(combo->count(), int(found.size()) + 1);
        QCOMPARE(combo->itemText(combo->count() - 1), QStringLiteral("Brennmark service"));
        combo->setCurrentIndex(combo->count() - 1);
        emit combo->activated(combo->count() - 1);
        QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("device1"))->text(), QStringLiteral("service"));
        auto* inUse = dialog.findChild<QLabel*>(QStringLiteral("inUse"));
        QVERIFY(inUse->isHidden());
        dialog.showDeviceInUse(QStringLiteral("/dev/pts/7"), QStringLiteral("given with --port"));
        QVERIFY(!inUse->isHidden());
        QCOMPARE(inUse->text(), QStringLiteral("This run uses /dev/pts/7 (given with --port)."));
    }
};

QTEST_MAIN(CommDialogsTest)
#include "comm_dialogs_test.moc"
