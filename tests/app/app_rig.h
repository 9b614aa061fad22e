// Helpers for the application's tests: a dialog runner that plays the user, a
// clicker that answers real message boxes, and a main window wired to a fake
// port, to the simulated unit on a pseudo-terminal, or to a tcp:// peer.
#pragma once

#include "app/dialog_runner.h"
#include "app/main_frame.h"
#include "tests/support/fake_serial_port.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_file_dialog.h"
#include "tests/support/scripted_prompt.h"
#include "platform/service_socket.h"
#include "platform/settings_keys.h"
#include "platform/tcp_serial.h"
#include "platform/termios_serial.h"
#include "sim/sim_server.h"
#include "tests/ui/page_rig.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bm::test {

// Plays the user in front of each modal dialog: `script` fills in the real
// dialog and says how it was closed. Without a script every dialog is cancelled.
class PlayedRunner : public DialogRunner {
public:
    std::function<int(QDialog&)> script;
    QStringList titles;

    int run(QDialog& dialog) override
    {
        titles.push_back(dialog.windowTitle());
        return script ? script(dialog) : QDialog::Rejected;
    }
};

// Answers every visible message box (OK by default) from a timer, which also
// runs inside the nested loops of a blocking wait; records the texts.
class BoxClicker : public QObject {
public:
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    QStringList texts;
    // For each box answered, how many boxes were open at that moment
    // (itself included): 2 means it was shown inside another box's loop.
    QList<int> openBoxes;

    BoxClicker()
    {
        connect(&timer_, &QTimer::timeout, this, [this] {
            QList<QMessageBox*> visible;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                    visible.append(box);
            for (QMessageBox* box : visible) {
                if (handled_.contains(box))
                    continue;
                handled_.append(box);
                texts << box->text();
                openBoxes << int(visible.size());
                if (QAbstractButton* b = box->button(answer))
                    b->click();
                else
                    box->button(QMessageBox::Ok)->click();
            }
        });
        timer_.start(20);
    }

private:
    QTimer timer_;
    QList<QMessageBox*> handled_;
};

// The pieces a test keeps a hand on after the main window has taken them.
struct FrameParts {
    InMemorySettings* settings = nullptr;
    FakeSerialPort* fakePort = nullptr;
    ScriptedPrompt* prompt = nullptr; // null when the real QtPrompt is used
    PlayedRunner* runner = nullptr;
    ScriptedFileDialog* files = nullptr;
    // The "not detected" box: every text shown, and the answers to give in
    // turn (Quit once they are used up).
    std::vector<std::string> notDetectedTexts;
    std::vector<NotDetectedChoice> notDetectedAnswers;
    std::function<void()> beforeNotDetectedAnswer; // e.g. plug the unit in
    // The device given for the run at each serial device made ("" for the
    // chosen port's).
    std::vector<std::string> devicesGiven;
    std::function<void(FakeSerialPort&)> serialMade; // each fake port, as it is made
};

inline std::unique_ptr<CMainFrame> makeFrame(FrameParts& parts, std::function<void(InMemorySettings&)> prepare,
                                             const std::string& simPath = {}, bool realPrompt = false,
                                             PageFactory pages = {}, MainFrameOptions options = {})
{
    MainFrameServices services;
    auto settings = std::make_unique<InMemorySettings>();
    storeFastTiming(*settings);
    if (prepare)
        prepare(*settings);
    parts.settings = settings.get();
    services.settings = std::move(settings);
    if (simPath.empty()) {
        services.makeSerial = [&parts](SettingsStore&, const std::string& device) -> std::unique_ptr<SerialDevice> {
            parts.devicesGiven.push_back(device);
            auto port = std::make_unique<FakeSerialPort>();
            parts.fakePort = port.get();
            if (parts.serialMade)
                parts.serialMade(*port);
            return port;
        };
    } else {
        services.makeSerial = [simPath](SettingsStore& s, const std::string&) -> std::unique_ptr<SerialDevice> {
            if (isTcpDevice(simPath) || isServiceDevice(simPath))
                return std::make_unique<TcpSerialPort>(simPath);
            return std::make_unique<TermiosSerialPort>(s, simPath);
        };
    }
    if (!realPrompt) {
        auto prompt = std::make_unique<ScriptedPrompt>();
        parts.prompt = prompt.get();
        services.prompt = std::move(prompt);
    }
    auto runner = std::make_unique<PlayedRunner>();
    parts.runner = runner.get();
    services.dialogs = std::move(runner);
    auto files = std::make_unique<ScriptedFileDialog>();
    parts.files = files.get();
    services.files = std::move(files);
    services.pages = std::move(pages);
    services.notDetected = [&parts](const std::string& text) {
        parts.notDetectedTexts.push_back(text);
        if (parts.beforeNotDetectedAnswer)
            parts.beforeNotDetectedAnswer();
        const std::size_t n = parts.notDetectedTexts.size();
        return n <= parts.notDetectedAnswers.size() ? parts.notDetectedAnswers[n - 1] : NotDetectedChoice::Quit;
    };
    return std::make_unique<CMainFrame>(std::move(services), std::move(options));
}

// A store that starts without the Comm Config dialog, on COM1.
inline void quietStart(InMemorySettings& s)
{
    s.writeInt(keys::kComm, keys::kCommPort, 0);
    s.writeInt(keys::kComm, keys::kDontShow, 1);
}

inline sim::SimOptions fastSim()
{
    sim::SimOptions o;
    o.fast = true;
    return o;
}

inline bool hasPacket(const std::vector<Bytes>& packets, const Bytes& wanted)
{
    for (const Bytes& p : packets)
        if (p == wanted)
            return true;
    return false;
}

} // namespace bm::test
