// The one place that decides between the termios and the TCP line.
#include "platform/serial_factory.h"

#include "platform/rfc2217_serial.h"
#include "platform/service_socket.h"
#include "platform/settings_keys.h"
#include "platform/tcp_serial.h"
#ifdef _WIN32
#include "platform/win32_serial.h"
#else
#include "platform/termios_serial.h"
#endif

namespace bm {

std::string chosenSerialDevice(SettingsStore& settings, const std::string& overridePath)
{
    if (!overridePath.empty())
        return overridePath;
    const int stored = settings.readInt(keys::kComm, keys::kCommPort, 0);
    const int index = (stored >= 0 && stored <= 3) ? stored : 0;
    return settings.readString(keys::kComm, keys::kComDevice[index], keys::kComDeviceDefault[index]);
}

bool checkDeviceName(const std::string& device, std::string& error)
{
    if (isTcpDevice(device)) {
        std::string host;
        int port = 0;
        if (!parseTcpDevice(device, host, port)) {
            error = device + " is no line: write tcp://HOST:PORT";
            return false;
        }
    } else if (device.rfind(kUnixScheme, 0) == 0 && device.size() == std::string(kUnixScheme).size()) {
        error = device + " is no line: write unix:PATH";
        return false;
    }
    return true;
}

std::unique_ptr<SerialDevice> makeSerialDevice(SettingsStore& settings, const std::string& overridePath)
{
    const std::string device = chosenSerialDevice(settings, overridePath);
    if (isRfc2217Device(device))
        return std::make_unique<Rfc2217SerialPort>(device);
    if (isTcpDevice(device) || isServiceDevice(device))
        return std::make_unique<TcpSerialPort>(device);
#ifdef _WIN32
    return std::make_unique<Win32SerialPort>(settings, overridePath);
#else
    return std::make_unique<TermiosSerialPort>(settings, overridePath);
#endif
}

} // namespace bm
