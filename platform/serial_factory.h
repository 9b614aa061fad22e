// Chooses the serial back-end for a device name: "tcp://HOST:PORT" is a line
// over TCP, "service" and "unix:PATH" the line shared by brennmarkd, anything
// else a termios device (a COM port on Windows).
#pragma once

#include "platform/serial_device.h"
#include "platform/settings_store.h"

#include <memory>
#include <string>

namespace bm {

// The device the program will open: `overridePath` when given (--port), else
// the device of the stored "CommPort" ("Com1Device".."Com4Device").
std::string chosenSerialDevice(SettingsStore& settings, const std::string& overridePath);

// False, with the reason, for a device name that cannot name a line: a
// "tcp://" address without HOST:PORT, "unix:" without a path.
bool checkDeviceName(const std::string& device, std::string& error);

// A TcpSerialPort when the chosen device is a tcp:// address or the service, else a
// TermiosSerialPort that maps port numbers as it always has.
std::unique_ptr<SerialDevice> makeSerialDevice(SettingsStore& settings, const std::string& overridePath);

} // namespace bm
