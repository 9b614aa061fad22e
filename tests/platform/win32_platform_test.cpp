// The Win32 back-ends, run under Wine by the Windows build: the registry store
// as QSettings' native format lays it out, COM port names, the Winsock line
// and its wait, binary file access with the atomic replace, and the COM port
// itself when BM_TEST_COM_PORT names one (scripts/test --windows maps COM5 to
// the simulated unit's pseudo-terminal). Where Wine differs from Windows the
// test is skipped under Wine with the reason.
#include "platform/file_access.h"
#include "platform/line_wait.h"
#include "tests/support/memory_settings.h"
#include "platform/registry_settings.h"
#include "platform/settings_keys.h"
#include "platform/tcp_serial.h"
#include "platform/win32_serial.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace bm {
namespace {

using Bytes = std::vector<std::uint8_t>;

bool underWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A registry key of this test's own, removed before and after.
class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override { store.removeAll(); }
    void TearDown() override { store.removeAll(); }

    DWORD typeOf(const std::wstring& subkey, const std::wstring& name)
    {
        DWORD type = REG_NONE;
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, (L"Software\\Tollvane\\BrennmarkTest\\" + subkey).c_str(), 0,
                            KEY_READ, &key) != ERROR_SUCCESS)
            return REG_NONE;
        ::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, nullptr);
        ::RegCloseKey(key);
        return type;
    }

    RegistrySettingsStore store{"Software\\Tollvane\\BrennmarkTest"};
};

TEST_F(RegistryStore, ValuesKeepTheirTypesAndSectionsAreSubkeysAsQtWritesThem)
{
    EXPECT_EQ(store.readInt(keys::kComm, keys::kCommPort, 256), 256) << "absent: the default";
    EXPECT_FALSE(store.contains(keys::kComm, keys::kCommPort));
    EXPECT_EQ(store.readString(keys::kCacheParamNames, "0", "none"), "none");

    ASSERT_TRUE(store.writeInt(keys::kComm, keys::kCommPort, 2));
    ASSERT_TRUE(store.writeInt(keys::kComm, "Negative", -35));
    ASSERT_TRUE(store.writeString(keys::kCacheParamNames, "0", "Screening Room"));
    ASSERT_TRUE(store.writeString(keys::kRoot, keys::kLastVisited, "C:\\Users\\den.lex"));
    const std::string latin1 = "Caf\xE9 \xB0\xFF";
    ASSERT_TRUE(store.writeString(keys::kRoot, "Latin1", latin1));
    ASSERT_TRUE(store.writeString(keys::kRoot, "At", "@home"));

    EXPECT_EQ(store.readInt(keys::kComm, keys::kCommPort, 256), 2);
    EXPECT_EQ(store.readInt(keys::kComm, "Negative", 0), -35);
    EXPECT_EQ(store.readString(keys::kCacheParamNames, "0", ""), "Screening Room");
    EXPECT_EQ(store.readString(keys::kRoot, keys::kLastVisited, ""), "C:\\Users\\den.lex");
    EXPECT_EQ(store.readString(keys::kRoot, "Latin1", ""), latin1) << "8-bit texts cross byte for byte";
    EXPECT_EQ(store.readString(keys::kRoot, "At", ""), "@home");
    EXPECT_TRUE(store.contains(keys::kComm, keys::kCommPort));

    EXPECT_EQ(typeOf(L"Comm", L"CommPort"), static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(typeOf(L"Config\\Params\\Names", L"0"), static_cast<DWORD>(REG_SZ)) << "a section is a subkey path";
    EXPECT_EQ(typeOf(L"", L"LastVisited"), static_cast<DWORD>(REG_SZ));

    // Qt escapes a text that starts with '@' with a second one.
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tollvane\\BrennmarkTest", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    ::RegQueryValueExW(key, L"At", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    ::RegCloseKey(key);
    EXPECT_EQ(std::wstring(text), L"@@home");
}

TEST_F(RegistryStore, IntegersWrittenAsTextReadBackAndBatchesArriveWhole)
{
    ASSERT_TRUE(store.writeString(keys::kComm, "DontShow", "1"));
    EXPECT_EQ(store.readInt(keys::kComm, "DontShow", 0), 1);
    ASSERT_TRUE(store.writeString(keys::kComm, "Garbage", "12ab"));
    EXPECT_EQ(store.readInt(keys::kComm, "Garbage", 7), 7) << "not a number: the default";
    EXPECT_EQ(store.readString(keys::kComm, keys::kCommPort, "x"), "x");

    ASSERT_TRUE(store.writeBatch({{keys::kComm, "A", 1}, {keys::kComm, "B", std::string("two")}}));
    EXPECT_EQ(store.readInt(keys::kComm, "A", 0), 1);
    EXPECT_EQ(store.readString(keys::kComm, "B", ""), "two");
}

TEST(Win32SerialPort, PortNumbersMapToComDevicesThroughTheCommSettings)
{
    InMemorySettings settings;
    Win32SerialPort port(settings);
    EXPECT_EQ(port.pathForPort(1), "COM1");
    EXPECT_EQ(port.pathForPort(4), "COM4");
    EXPECT_EQ(port.pathForPort(9), "COM1") << "out of range: port 1";
    settings.writeString(keys::kComm, keys::kComDevice[1], "COM12");
    EXPECT_EQ(port.pathForPort(2), "COM12");

    struct Row {
        const char* given;
        const char* opened;
    };
    for (const Row& row : {Row{"COM1", "\\\\.\\COM1"}, Row{"COM12", "\\\\.\\COM12"},
                           Row{"\\\\.\\COM3", "\\\\.\\COM3"}})
        EXPECT_EQ(win32DeviceName(row.given), row.opened) << row.given;

    Win32SerialPort missing(settings, "COM199");
    EXPECT_FALSE(missing.open(1));
    EXPECT_FALSE(missing.openError().empty());
    EXPECT_FALSE(missing.isOpen());
    WakeSignal wake;
    EXPECT_EQ(missing.waitForBytes(wake, 0), kLineCannotWait);
}

// A loopback listener the port connects to.
class WinsockListener {
public:
    WinsockListener()
    {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 1);
        int length = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        url_ = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    ~WinsockListener()
    {
        hangUp();
        ::closesocket(listener_);
    }
    bool accept()
    {
        client_ = ::accept(listener_, nullptr, nullptr);
        return client_ != INVALID_SOCKET;
    }
    void send(const Bytes& bytes)
    {
        ::send(client_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
    }
    Bytes receive(std::size_t n)
    {
        Bytes got(n);
        std::size_t have = 0;
        while (have < n) {
            const int r = ::recv(client_, reinterpret_cast<char*>(got.data() + have), static_cast<int>(n - have), 0);
            if (r <= 0)
                break;
            have += static_cast<std::size_t>(r);
        }
        got.resize(have);
        return got;
    }
    void hangUp()
    {
        if (client_ != INVALID_SOCKET)
            ::closesocket(client_);
        client_ = INVALID_SOCKET;
    }
    const std::string& url() const { return url_; }

private:
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET client_ = INVALID_SOCKET;
    std::string url_;
};

TEST(Win32TcpLine, BytesBothWaysTheWaitAndAHangUp)
{
    WinsockListener listener;
    TcpSerialPort port(listener.url());
    WakeSignal wake;
    EXPECT_EQ(port.waitForBytes(wake, 0), kLineCannotWait);
    ASSERT_TRUE(port.open(1)) << port.openError();
    ASSERT_TRUE(listener.accept());

    EXPECT_EQ(port.waitForBytes(wake, 0), kLineIdle) << "an idle line";
    wake.raise();
    EXPECT_EQ(port.waitForBytes(wake, 5000), kLineWoken);
    wake.clear();
    EXPECT_EQ(port.waitForBytes(wake, 0), kLineIdle) << "a cleared wake-up stays down";

    const Bytes packet{0xF1, 0x03, 0x11, 0x00, 0xF2};
    port.startWrite(packet.data(), packet.size());
    port.waitWriteComplete();
    EXPECT_EQ(listener.receive(packet.size()), packet);

    const Bytes answer{0xF1, 0x04, 0xE0, 0x01, 0x11, 0xF2};
    listener.send(answer);
    EXPECT_NE(port.waitForBytes(wake, 5000) & kLineReadable, 0u);
    std::uint8_t buffer[16];
    Bytes got;
    ASSERT_TRUE(test::waitUntil([&] {
        const std::size_t n = port.readAvailable(buffer, sizeof buffer);
        got.insert(got.end(), buffer, buffer + n);
        return got.size() >= answer.size();
    }, 5000));
    EXPECT_EQ(got, answer);
    EXPECT_FALSE(port.lineLost());

    listener.hangUp();
    EXPECT_NE(port.waitForBytes(wake, 5000) & (kLineReadable | kLineHungUp), 0u);
    ASSERT_TRUE(test::waitUntil([&] {
        port.readAvailable(buffer, sizeof buffer);
        return port.lineLost();
    }, 5000));
    port.close();
    EXPECT_FALSE(port.isOpen());

    TcpSerialPort refused("tcp://127.0.0.1:1");
    EXPECT_FALSE(refused.open(1));
    EXPECT_FALSE(refused.openError().empty());
}

// A folder of this test's own, with a non-ASCII name (UTF-8 in the program).
class FileAccess : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = std::filesystem::temp_directory_path() /
                 std::filesystem::u8path("brennmark-files-\xC3\xA9t\xC3\xA9-" + std::to_string(::GetCurrentProcessId()));
        std::filesystem::create_directories(folder);
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string path(const std::string& name) const
    {
        const auto u8 = (folder / std::filesystem::u8path(name)).u8string();
        return std::string(u8.begin(), u8.end());
    }
    bool save(const std::string& target, const Bytes& bytes, std::string& reason)
    {
        files::TemporaryFile file;
        return file.create(target, reason) && file.write(bytes.data(), bytes.size(), reason) &&
               file.flush(reason) && file.replace(target, reason);
    }

    std::filesystem::path folder;
};

TEST_F(FileAccess, EveryByteValueRoundTripsAndASecondSaveReplacesTheFirst)
{
    Bytes all(256);
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<std::uint8_t>(i); // 0x0A and 0x1A among them: no text mode
    const std::string target = path("den.lex");
    std::string reason;
    ASSERT_TRUE(save(target, all, reason)) << reason;
    Bytes read;
    ASSERT_TRUE(files::readRegularFile(target, 4096, read, reason)) << reason;
    EXPECT_EQ(read, all);

    const Bytes second{1, 2, 3};
    ASSERT_TRUE(save(target, second, reason)) << "replacing an existing file: " << reason;
    ASSERT_TRUE(files::readRegularFile(target, 4096, read, reason)) << reason;
    EXPECT_EQ(read, second);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 1)
        << "no temporary file left beside it";

    EXPECT_FALSE(files::readRegularFile(target, 2, read, reason)) << "over the limit";
    EXPECT_TRUE(read.empty());
    EXPECT_FALSE(files::readRegularFile(path("missing.lex"), 4096, read, reason));
}

TEST_F(FileAccess, FoldersAndDevicesAreNotRegularFiles)
{
    std::string reason, target;
    Bytes read;
    const auto folderText = folder.u8string();
    EXPECT_FALSE(files::readRegularFile(std::string(folderText.begin(), folderText.end()), 4096, read, reason));
    for (const char* device : {"NUL", "COM1", "\\\\.\\COM1"}) {
        EXPECT_FALSE(files::readRegularFile(device, 4096, read, reason)) << device;
        EXPECT_FALSE(files::resolveSaveTarget(device, target, reason)) << device;
    }
    EXPECT_TRUE(files::resolveSaveTarget(path("new.lex"), target, reason)) << reason;
}

// The COM port the script maps to the simulated unit's pseudo-terminal.
std::string comPortUnderTest()
{
    const char* port = std::getenv("BM_TEST_COM_PORT");
    return port != nullptr ? port : "";
}

TEST(Win32SerialPortOnAComPort, OpensAtNineteenTwoHundredEightOddOne)
{
    const std::string com = comPortUnderTest();
    if (com.empty())
        GTEST_SKIP() << "no COM port to test on (set BM_TEST_COM_PORT)";
    InMemorySettings settings;
    Win32SerialPort port(settings, com);
    ASSERT_TRUE(port.open(1)) << port.openError();
    const Win32LineSettings line = port.lineSettings();
    if (underWine() && (!line.written || line.parity != ODDPARITY))
        GTEST_SKIP() << "Wine on a pseudo-terminal refuses a second SetCommState with odd parity (error 87) "
                        "and does not report odd parity back (the terminal drops it); the port goes on "
                        "with what the line reports";
    EXPECT_TRUE(line.written);
    EXPECT_EQ(line.baudRate, 19200u);
    EXPECT_EQ(line.byteSize, 8);
    EXPECT_EQ(line.parity, ODDPARITY);
    EXPECT_EQ(line.stopBits, ONESTOPBIT);
    EXPECT_FALSE(line.outxCtsFlow || line.outX || line.inX) << "no flow control";
}

TEST(Win32SerialPortOnAComPort, ASecondOpenOfThePortFails)
{
    const std::string com = comPortUnderTest();
    if (com.empty())
        GTEST_SKIP() << "no COM port to test on (set BM_TEST_COM_PORT)";
    if (underWine())
        GTEST_SKIP() << "Wine lets a second exclusive open of a COM port succeed";
    InMemorySettings settings;
    Win32SerialPort first(settings, com);
    Win32SerialPort second(settings, com);
    ASSERT_TRUE(first.open(1)) << first.openError();
    EXPECT_FALSE(second.open(1));
    EXPECT_EQ(second.openError(), "in use by another program");
    EXPECT_TRUE(second.openBusy()) << "a held port is busy (brennmark-cli: status 4), not missing";
}

TEST(Win32SerialPortOnAComPort, AMissingPortIsNotBusy)
{
    InMemorySettings settings;
    Win32SerialPort port(settings, "COM199");
    EXPECT_FALSE(port.open(1));
    EXPECT_FALSE(port.openBusy()) << port.openError();
}

} // namespace
} // namespace bm
