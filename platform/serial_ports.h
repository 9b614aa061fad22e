// The serial devices of this machine, for the lists the Comm Config dialog
// offers, and what the system says about a device the program could not open.
#pragma once

#include <string>
#include <vector>

namespace bm {

// The serial devices of this machine. On POSIX, those under /dev that open
// (serialDevicesUnder); on Windows, COM1..COM4 and then the ports the system
// lists (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM), as comPortList orders them.
std::vector<std::string> availableSerialDevices();

// The group that owns the device file, when the system says (POSIX); empty on
// Windows, whose ports have no such group.
std::string serialDeviceGroup(const std::string& device);

// COM1..COM4 first, always (the unit's ports, offered before their adapter is
// plugged in), then the other names `listed` in port-number order ("COM3"
// before "COM10", names without a number after them by name), each once
// whatever its case, upper-cased when it is a COM port.
std::vector<std::string> comPortList(const std::vector<std::string>& listed);

#ifndef _WIN32
// The serial devices under `dev` that open, by-id names first: the entries of
// `dev`/serial/by-id, then ttyUSB*, ttyACM* and ttyS*, leaving out a device
// already listed under another name.
std::vector<std::string> serialDevicesUnder(const std::string& dev);
#endif

} // namespace bm
