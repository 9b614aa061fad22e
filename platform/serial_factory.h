// Chooses the serial back-end for a device name: "tcp://HOST:PORT" is a line
// over TCP, "service" and "unix:PATH" the line shared by brennmarkd, anything
// else a termios device.
#pragma once

#include "platform/serial_device.h"
#include "platform/settings_store.h"

#include <memory>
#include <string>

namespace bm {

// The device the program will open: `overridePath` when given (--port), else
// the device of the stored "CommPort" ("Com1Device".."Com4Device").
std::string chosenSerialDevice(SettingsStore& settings, const std::string& overridePath);

// A TcpSerialPort when the chosen device is a tcp:// address or the service, else a
// TermiosSerialPort that maps port numbers as it always has.
std::unique_ptr<SerialDevice> makeSerialDevice(SettingsStore& settings, const std::string& overridePath);

} // namespace bm
