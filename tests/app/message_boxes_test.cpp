// The boxes as users expect them: errors with the error icon, the factory
// reset's two confirmations answering Cancel to Enter, the "not detected" box
// with Retry, Comm Config and Quit naming the device, the cause and the fix,
// and the download window's progress bar and whole caption.
#include "app/comm_dialogs.h"
#include "app/dialog_runner.h"
#include "app/not_detected.h"
#include "app/small_dialogs.h"
#include "model/startup_wait.h"
#include "tests/support/memory_settings.h"
#include "platform/qt_prompt.h"
#include "tests/support/scripted_prompt.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace bm;

namespace {

// Runs `inspect` on the message box that `show` opens, from inside its loop.
void withBox(const std::function<void()>& show, const std::function<void(QMessageBox&)>& inspect)
{
    // The box is inspected (and answered) once it is up; on a busy machine a
    // key can reach it before it is active, so a box still up a second later
    // is answered again, and after five tries closed (the answer then shows
    // the fault).
    int tries = 0;
    QElapsedTimer since;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || (tries > 0 && since.elapsed() < 1000))
            return;
        if (tries == 5) {
            box->done(-1);
            return;
        }
        ++tries;
        since.start();
        inspect(*box);
    });
    timer.start(20);
    show();
    QVERIFY(tries > 0);
}

} // namespace

class MessageBoxesTest : public QObject {
    Q_OBJECT
private slots:
    void theFactoryResetConfirmationsDefaultToCancel_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("first") << "Do you really wish to Reset the Ridaziv's configuration to factory defaults?";
        QTest::newRow("second") << "Are you absolutely sure?";
    }
    void theFactoryResetConfirmationsDefaultToCancel()
    {
        QFETCH(QString, text);
        QtPrompt prompt;
        PromptAnswer answer = PromptAnswer::Ok;
        withBox([&] { answer = prompt.ask(text.toStdString(), PromptButtons::OkCancel); },
                [&](QMessageBox& box) {
                    QCOMPARE(box.windowTitle(), QStringLiteral("Brennmark"));
                    QCOMPARE(box.icon(), QMessageBox::Warning);
                    QCOMPARE(box.defaultButton(), box.button(QMessageBox::Cancel));
                    QTest::keyClick(&box, Qt::Key_Return); // Enter does not reset the unit
                });
        QCOMPARE(answer, PromptAnswer::Cancel);
    }

    void messagesGetTheIconTheyCallFor_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("icon");
        QTest::newRow("error") << "Failed to open file!" << int(QMessageBox::Critical);
        QTest::newRow("time-out") << "Timed out waiting for data download from DE-1/ZA-2!"
                                  << int(QMessageBox::Critical);
        QTest::newRow("news") << "Save Successful!" << int(QMessageBox::Information);
        QTest::newRow("rom") << "ROM Timestamp mismatch. About to reload internal variables."
                             << int(QMessageBox::Information);
        QTest::newRow("nak") << "NAK Received. Press OK to Retry." << int(QMessageBox::Warning);
    }
    void messagesGetTheIconTheyCallFor()
    {
        QFETCH(QString, text);
        QFETCH(int, icon);
        QtPrompt prompt;
        withBox([&] { prompt.ask(text.toStdString()); },
                [&](QMessageBox& box) {
                    QCOMPARE(int(box.icon()), icon);
                    QCOMPARE(box.text(), text);
                    QCOMPARE(box.defaultButton(), box.button(QMessageBox::Ok));
                    box.button(QMessageBox::Ok)->click();
                });
    }

    void notDetectedNamesTheDeviceTheCauseAndTheFix()
    {
        const NotDetected denied = notDetectedReason("/dev/ttyUSB0", "Permission denied", false, "uucp");
        QCOMPARE(denied.boxText(),
                 std::string("Ridaziv DE-1 or ZA-2 was not detected... Exiting!\n\n"
                             "Cannot open /dev/ttyUSB0: Permission denied.\n\n"
                             "Add your user to the serial devices' group (uucp): sudo usermod -aG uucp $USER, "
                             "then log out and in again."));
        QCOMPARE(denied.terminalText(),
                 std::string("cannot open serial device /dev/ttyUSB0: Permission denied\n"
                             "  Add your user to the serial devices' group (uucp): sudo usermod -aG uucp $USER, "
                             "then log out and in again."));
        // Unknown (or root's) group: the usual one.
        for (const char* group : {"", "root"})
            QVERIFY(notDetectedReason("/dev/ttyS0", "Permission denied", false, group).fix.find("(dialout)") !=
                    std::string::npos);
        const NotDetected busy = notDetectedReason("/dev/ttyS0", "Device or resource busy", false, "dialout");
        QVERIFY(busy.fix.empty());
        QCOMPARE(busy.boxText(), std::string("Ridaziv DE-1 or ZA-2 was not detected... Exiting!\n\n"
                                             "Cannot open /dev/ttyS0: Device or resource busy."));
        const NotDetected silent = notDetectedReason("/dev/ttyS0", "", true, "dialout");
        QCOMPARE(silent.boxText(), std::string("Ridaziv DE-1 or ZA-2 was not detected... Exiting!\n\n"
                                               "No answer from a unit on /dev/ttyS0."));
        QCOMPARE(silent.terminalText(), std::string("no answer from a unit on /dev/ttyS0"));
    }

    void notDetectedOffersRetryCommConfigAndQuit_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("choice");
        QTest::newRow("Retry") << "Retry" << int(NotDetectedChoice::Retry);
        QTest::newRow("Comm Config") << "Comm Config" << int(NotDetectedChoice::CommConfig);
        QTest::newRow("Quit") << "Quit" << int(NotDetectedChoice::Quit);
        QTest::newRow("Escape") << "" << int(NotDetectedChoice::Quit);
        // Each button's mnemonic with Alt.
        QTest::newRow("Alt+R") << "alt:R" << int(NotDetectedChoice::Retry);
        QTest::newRow("Alt+C") << "alt:C" << int(NotDetectedChoice::CommConfig);
        QTest::newRow("Alt+Q") << "alt:Q" << int(NotDetectedChoice::Quit);
    }
    void notDetectedOffersRetryCommConfigAndQuit()
    {
        QFETCH(QString, button);
        QFETCH(int, choice);
        NotDetectedChoice chosen = NotDetectedChoice::Retry;
        withBox([&] { chosen = askNotDetected("Ridaziv DE-1 or ZA-2 was not detected... Exiting!"); },
                [&](QMessageBox& box) {
                    QCOMPARE(box.icon(), QMessageBox::Critical);
                    QStringList labels;
                    for (QAbstractButton* b : box.buttons())
                        labels << b->text();
                    labels.sort();
                    QCOMPARE(labels, (QStringList{"&Comm Config", "&Quit", "&Retry"}));
                    QCOMPARE(box.defaultButton()->text(), QStringLiteral("&Retry"));
                    if (button.isEmpty()) {
                        QTest::keyClick(&box, Qt::Key_Escape);
                        return;
                    }
                    if (button.startsWith(QStringLiteral("alt:"))) {
                        QTest::keyClick(&box, Qt::Key(button.at(4).unicode()), Qt::AltModifier);
                        return;
                    }
                    for (QAbstractButton* b : box.buttons())
                        if (QString(b->text()).remove(QLatin1Char('&')) == button)
                            b->click();
                });
        QCOMPARE(int(chosen), choice);
    }

    void theDownloadWindowCountsOnceTheTotalIsKnown()
    {
        CDownloadDlg dialog;
        dialog.show();
        const QProgressBar* bar = dialog.bar();
        QCOMPARE(bar->maximum(), 0); // busy until the configuration is in
        dialog.setProgress(SweepProgress{2, 0});
        QCOMPARE(bar->maximum(), 0);
        dialog.setProgress(SweepProgress{3, 227});
        QCOMPARE(bar->maximum(), 227);
        QCOMPARE(bar->value(), 3);
        dialog.setProgress(SweepProgress{227, 227});
        QCOMPARE(bar->value(), 227);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Brennmark - Downloading Internal Variables"));
    }

    void everyDialogIsWideEnoughForItsCaption()
    {
        InMemorySettings settings;
        ScriptedPrompt prompt;
        ExecDialogRunner runner;
        CDownloadDlg download;
        CAboutDlg about;
        CCommConfigDlg comm(CommConfigValues{}, settings, prompt, runner, nullptr);
        CAdvancedCommDlg advanced(settings, prompt, nullptr);
        for (QDialog* dialog : std::initializer_list<QDialog*>{&download, &about, &comm, &advanced}) {
            dialog->show();
            QFont bold = dialog->font();
            bold.setBold(true);
            const int caption = QFontMetrics(bold).horizontalAdvance(dialog->windowTitle());
            QVERIFY2(dialog->width() >= caption + 100, qPrintable(dialog->windowTitle()));
        }
    }
};

QTEST_MAIN(MessageBoxesTest)
#include "message_boxes_test.moc"
