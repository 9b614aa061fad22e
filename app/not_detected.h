// When no unit answers at start: the words that name the device and the cause
// (with the fix for a permission problem), and the message box that offers
// Retry, Comm Config and Quit instead of a dead end.
#pragma once

#include <string>

namespace bm {

class SerialDevice;

enum class NotDetectedChoice { Retry, CommConfig, Quit };

struct NotDetected {
    std::string device;
    std::string cause; // the open error, or "" when the port opened but nothing answered
    std::string fix;   // how to mend the cause, or ""
    // Why what answered is no unit (noise, another device), or "" when
    // nothing answered.
    std::string answer;

    // One line for standard error.
    std::string terminalText() const;
    // The designed message, then the device and the cause, then the fix.
    std::string boxText() const;
};

// Reads the device path, the open error and the device file's group from a
// port whose unit was not heard.
NotDetected notDetectedReason(const SerialDevice& serial);
// The same from plain values (`deviceGroup` may be empty: unknown).
NotDetected notDetectedReason(const std::string& device, const std::string& openError, bool opened,
                              const std::string& deviceGroup);

// The message box: error icon, caption "Brennmark", Retry (the default), Comm Config, Quit.
NotDetectedChoice askNotDetected(const std::string& text);

} // namespace bm
