// The "not detected" message and its choices.
#include "app/not_detected.h"

#include "app/small_dialogs.h"
#include "platform/qt_modal.h"
#include "platform/serial_device.h"
#include "platform/serial_ports.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace bm {
namespace {

constexpr const char* kNotDetected = "Ridaziv DE-1 or ZA-2 was not detected... Exiting!";
constexpr const char* kPermissionDenied = "Permission denied";

} // namespace

NotDetected notDetectedReason(const std::string& device, const std::string& openError, bool opened,
                              const std::string& deviceGroup)
{
    NotDetected n;
    n.device = device;
    if (opened)
        return n;
    n.cause = openError.empty() ? std::string("it could not be opened") : openError;
    if (openError.find(kPermissionDenied) != std::string::npos) {
        // Serial devices belong to a group whose members may use them.
        const std::string group = deviceGroup.empty() || deviceGroup == "root" ? "dialout" : deviceGroup;
        n.fix = "Add your user to the serial devices' group (" + group + "): sudo usermod -aG " + group +
                " $USER, then log out and in again.";
    }
    return n;
}

NotDetected notDetectedReason(const SerialDevice& serial)
{
    const std::string device = serial.devicePath();
    return notDetectedReason(device, serial.openError(), serial.isOpen(), serialDeviceGroup(device));
}

std::string NotDetected::terminalText() const
{
    std::string text = !cause.empty()  ? "cannot open serial device " + device + ": " + cause
                       : answer.empty() ? "no answer from a unit on " + device
                                        : "no DE-1 or ZA-2 on " + device + ": " + answer;
    if (!fix.empty())
        text += "\n  " + fix;
    return text;
}

std::string NotDetected::boxText() const
{
    std::string text = kNotDetected;
    text += "\n\n";
    if (!cause.empty())
        text += "Cannot open " + device + ": " + cause + ".";
    else if (!answer.empty())
        text += "No DE-1 or ZA-2 on " + device + ": " + answer + ".";
    else
        text += "No answer from a unit on " + device + ".";
    if (!fix.empty())
        text += "\n\n" + fix;
    return text;
}

NotDetectedChoice askNotDetected(const std::string& text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Brennmark"), QString::fromLocal8Bit(text.c_str()),
                    QMessageBox::NoButton, QApplication::activeWindow());
    box.setWindowIcon(appIcon());
    QPushButton* retry = box.addButton(QStringLiteral("&Retry"), QMessageBox::AcceptRole);
    QPushButton* config = box.addButton(QStringLiteral("&Comm Config"), QMessageBox::ActionRole);
    QPushButton* quit = box.addButton(QStringLiteral("&Quit"), QMessageBox::RejectRole);
    box.setDefaultButton(retry);
    box.setEscapeButton(quit);
    {
        const ModalScope modal;
        box.exec();
    }
    if (box.clickedButton() == retry)
        return NotDetectedChoice::Retry;
    if (box.clickedButton() == config)
        return NotDetectedChoice::CommConfig;
    return NotDetectedChoice::Quit;
}

} // namespace bm
