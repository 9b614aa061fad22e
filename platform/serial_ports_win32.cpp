// The serial devices on Windows: COM1..COM4 and the ports the system lists
// under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (one value per port present, its
// data the port's name). Not opened to check: a COM port opens exclusively, and
// one another program holds is still a port to choose.
#include "platform/serial_ports.h"

#include <windows.h>

namespace bm {
namespace {

std::string utf8(const std::wstring& w)
{
    if (w.empty())
        return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

std::vector<std::string> listedPorts()
{
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i) {
        wchar_t valueName[256];
        DWORD valueNameLength = 256;
        wchar_t data[256];
        DWORD type = 0;
        DWORD dataBytes = sizeof data - sizeof(wchar_t);
        const LONG r = ::RegEnumValueW(key, i, valueName, &valueNameLength, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &dataBytes);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS || type != REG_SZ)
            continue;
        std::wstring name(data, dataBytes / sizeof(wchar_t));
        while (!name.empty() && name.back() == L'\0')
            name.pop_back();
        names.push_back(utf8(name));
    }
    ::RegCloseKey(key);
    return names;
}

} // namespace

std::vector<std::string> availableSerialDevices()
{
    return comPortList(listedPorts());
}

std::string serialDeviceGroup(const std::string&)
{
    return {};
}

} // namespace bm
