// TermiosSerialPort on a real pseudo-terminal: port mapping, line settings,
// exclusive open, traffic both ways, and a hung-up line that reads as silence.
#include "tests/support/memory_settings.h"
#include "platform/settings_keys.h"
#include "platform/termios_serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A pseudo-terminal pair; the test plays the far end on the master.
class Pty {
public:
    Pty()
    {
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
            path_ = name;
            ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        }
    }
    ~Pty()
    {
        closeMaster();
        if (slave_ >= 0)
            ::close(slave_);
    }
    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    void closeMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    // Reads from the master until `n` bytes came or a second passed.
    std::vector<std::uint8_t> readMaster(std::size_t n)
    {
        std::vector<std::uint8_t> out;
        const auto end = Clock::now() + 1s;
        while (out.size() < n && Clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            std::uint8_t buf[256];
            const ssize_t r = ::read(master_, buf, sizeof buf);
            if (r > 0)
                out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1; // held so the master never sees the terminal side closed
    std::string path_;
};

std::vector<std::uint8_t> readPort(TermiosSerialPort& port, std::size_t n)
{
    std::vector<std::uint8_t> out;
    const auto end = Clock::now() + 1s;
    while (out.size() < n && Clock::now() < end) {
        std::uint8_t buf[64];
        const std::size_t got = port.readAvailable(buf, sizeof buf);
        out.insert(out.end(), buf, buf + got);
        if (got == 0)
            std::this_thread::sleep_for(2ms);
    }
    return out;
}

TEST(TermiosSerialPort, PortNumbersMapThroughTheCommSettings)
{
    InMemorySettings settings;
    TermiosSerialPort port(settings);
    EXPECT_EQ(port.pathForPort(1), "/dev/ttyS0");
    EXPECT_EQ(port.pathForPort(4), "/dev/ttyS3");
    EXPECT_EQ(port.pathForPort(0), "/dev/ttyS0");
    EXPECT_EQ(port.pathForPort(5), "/dev/ttyS0");

    settings.writeString(keys::kComm, "Com3Device", "/dev/ttyUSB7");
    settings.writeString(keys::kComm, "Com1Device", "/dev/ttyACM0");
    EXPECT_EQ(port.pathForPort(3), "/dev/ttyUSB7");
    EXPECT_EQ(port.pathForPort(2), "/dev/ttyS1");
    EXPECT_EQ(port.pathForPort(9), "/dev/ttyACM0");

    // A port number opens the device its setting names.
    Pty pty;
    ASSERT_TRUE(pty.ok());
    settings.writeString(keys::kComm, "Com2Device", pty.path());
    ASSERT_TRUE(port.open(2));
    EXPECT_EQ(port.devicePath(), pty.path());
    EXPECT_FALSE(port.open(2)) << "already open";
    port.close();
    port.close(); // idempotent
    EXPECT_FALSE(port.isOpen());
}

TEST(TermiosSerialPort, OverridePathWinsOverEveryPortNumber)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    InMemorySettings settings;
    settings.writeString(keys::kComm, "Com1Device", "/nonexistent/tty");
    TermiosSerialPort port(settings, pty.path());
    EXPECT_EQ(port.devicePath(), pty.path());
    EXPECT_EQ(port.pathForPort(3), pty.path());
    ASSERT_TRUE(port.open(1));
    EXPECT_TRUE(port.isOpen());
}

TEST(TermiosSerialPort, LineIs19200EightOddOneRaw)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    InMemorySettings settings;
    TermiosSerialPort port(settings, pty.path());
    ASSERT_TRUE(port.open(1));

    // What the port asked for: 8 data bits, odd parity, one stop bit, raw.
    const termios wanted = port.appliedLineSettings();
    EXPECT_EQ(::cfgetospeed(&wanted), static_cast<speed_t>(B19200));
    EXPECT_EQ(wanted.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(wanted.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
    EXPECT_FALSE(wanted.c_cflag & CSTOPB);
    EXPECT_EQ(wanted.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));

    // What the terminal holds. Linux pseudo-terminals clear PARENB on every
    // tcsetattr (they have no parity to generate), so that one bit is only
    // checked when the driver kept it; PARODD survives and shows it was asked.
    termios tio{};
    ASSERT_EQ(::tcgetattr(port.nativeHandle(), &tio), 0);
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(tio.c_cflag & PARODD);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CREAD);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_FALSE(tio.c_iflag & (ICRNL | IXON));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_NE(::fcntl(port.nativeHandle(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(port.nativeHandle(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(TermiosSerialPort, FlowControlIsSwitchedOffWhateverTheLineHad)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    // Another program left hardware and software flow control on.
    {
        const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios tio{};
        ASSERT_EQ(::tcgetattr(fd, &tio), 0);
        tio.c_cflag |= CRTSCTS;
        tio.c_iflag |= IXON | IXOFF | IXANY;
        ASSERT_EQ(::tcsetattr(fd, TCSANOW, &tio), 0);
        ::close(fd);
    }
    InMemorySettings settings;
    TermiosSerialPort port(settings, pty.path());
    ASSERT_TRUE(port.open(1));

    const termios wanted = port.appliedLineSettings();
    EXPECT_FALSE(wanted.c_cflag & CRTSCTS);
    EXPECT_FALSE(wanted.c_iflag & (IXON | IXOFF | IXANY));
    termios tio{};
    ASSERT_EQ(::tcgetattr(port.nativeHandle(), &tio), 0);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | IXANY));
}

TEST(TermiosSerialPort, WaitEndsOnBytesOnTheWakeSignalAndOnHangUp)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    InMemorySettings settings;
    TermiosSerialPort port(settings, pty.path());
    WakeSignal wake;
    EXPECT_EQ(port.waitForBytes(wake, 0), kLineCannotWait) << "closed: nothing to wait on";
    ASSERT_TRUE(port.open(1));

    EXPECT_EQ(port.waitForBytes(wake, 0), kLineIdle) << "an idle line is not readable";
    wake.raise();
    EXPECT_EQ(port.waitForBytes(wake, 1000), kLineWoken);
    wake.clear();
    EXPECT_EQ(port.waitForBytes(wake, 0), kLineIdle) << "a cleared wake-up stays down";
    const std::uint8_t ack[] = {0xF1, 0x04, 0xE0, 0x01, 0x15, 0xF2};
    ASSERT_EQ(::write(pty.master(), ack, sizeof ack), static_cast<ssize_t>(sizeof ack));
    EXPECT_EQ(port.waitForBytes(wake, 1000), kLineReadable);
    std::uint8_t buf[64];
    EXPECT_EQ(port.readAvailable(buf, sizeof buf), sizeof ack);
    EXPECT_FALSE(port.lineLost());

    // The far end goes: the wait ends, the read finds the line gone.
    pty.closeMaster();
    EXPECT_NE(port.waitForBytes(wake, 1000) & (kLineHungUp | kLineReadable), 0u);
    EXPECT_EQ(port.readAvailable(buf, sizeof buf), 0u);
    EXPECT_TRUE(port.lineLost());
    port.close();
    EXPECT_EQ(port.waitForBytes(wake, 0), kLineCannotWait);
}

TEST(TermiosSerialPort, BytesCrossBothWaysUnchanged)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    InMemorySettings settings;
    TermiosSerialPort port(settings, pty.path());
    ASSERT_TRUE(port.open(1));

    // An idle line returns at once with nothing.
    std::uint8_t buf[64];
    const auto before = Clock::now();
    EXPECT_EQ(port.readAvailable(buf, sizeof buf), 0u);
    EXPECT_LT(Clock::now() - before, 50ms);
    EXPECT_FALSE(port.lineDead());

    // Raw mode: CR, LF, XON/XOFF, ^C and the framing bytes pass untouched.
    const std::vector<std::uint8_t> out = {0xF1, 0x03, 0x15, 0x00, 0xF2, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0xFF};
    port.startWrite(out.data(), out.size());
    port.waitWriteComplete();
    EXPECT_EQ(pty.readMaster(out.size()), out);

    const std::vector<std::uint8_t> in = {0xF1, 0x05, 0xE0, 0x02, 0x15, 0x0D, 0xF2, 0x0A, 0x7F, 0x00};
    ASSERT_EQ(::write(pty.master(), in.data(), in.size()), static_cast<ssize_t>(in.size()));
    EXPECT_EQ(readPort(port, in.size()), in);
    EXPECT_EQ(port.readAvailable(buf, sizeof buf), 0u);
}

TEST(TermiosSerialPort, SecondOpenOfTheSameDeviceFails)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    InMemorySettings settings;
    TermiosSerialPort first(settings, pty.path());
    TermiosSerialPort second(settings, pty.path());
    ASSERT_TRUE(first.open(1));
    EXPECT_FALSE(second.open(1)); // also when the tests run as root
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(second.openError(), "in use by another program");
    first.close();
    EXPECT_TRUE(second.open(1)) << "closing releases the device";
    EXPECT_EQ(second.openError(), "");
}

TEST(TermiosSerialPort, FileThatIsNotATerminalIsRefused)
{
    InMemorySettings settings;
    TermiosSerialPort port(settings, "/dev/null");
    EXPECT_FALSE(port.open(1));
    EXPECT_EQ(port.openError(), "not a serial device");
}

TEST(TermiosSerialPort, MissingDeviceFailsToOpen)
{
    InMemorySettings settings;
    TermiosSerialPort port(settings, "/dev/brennmark-no-such-tty");
    EXPECT_FALSE(port.open(1));
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.openError(), "No such file or directory");
    std::uint8_t buf[8];
    EXPECT_EQ(port.readAvailable(buf, sizeof buf), 0u);
    port.startWrite(buf, sizeof buf); // harmless on a closed port
    port.waitWriteComplete();
    EXPECT_EQ(port.devicePath(), "/dev/brennmark-no-such-tty");
}

TEST(TermiosSerialPort, HungUpLineReadsAsSilenceWithoutBlocking)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    InMemorySettings settings;
    TermiosSerialPort port(settings, pty.path());
    ASSERT_TRUE(port.open(1));
    pty.closeMaster();

    std::uint8_t buf[64];
    const auto before = Clock::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(port.readAvailable(buf, sizeof buf), 0u);
    EXPECT_TRUE(port.lineDead());
    const std::vector<std::uint8_t> out(300, 0x55);
    port.startWrite(out.data(), out.size());
    port.waitWriteComplete();
    EXPECT_LT(Clock::now() - before, 500ms);
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST(TermiosSerialPort, FullOutputBufferGivesUpWithinItsBound)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    InMemorySettings settings;
    TermiosSerialPort port(settings, pty.path());
    ASSERT_TRUE(port.open(1));

    // Nobody reads the master: once the terminal's buffers are full a write
    // must give up after about 100 ms + 3 ms per byte instead of hanging.
    const std::vector<std::uint8_t> block(256, 0xA5);
    Clock::duration slowest{};
    for (int i = 0; i < 200 && slowest < 90ms; ++i) {
        const auto before = Clock::now();
        port.startWrite(block.data(), block.size());
        port.waitWriteComplete();
        slowest = std::max(slowest, Clock::now() - before);
    }
    EXPECT_GE(slowest, 90ms) << "the buffers never filled";
    EXPECT_LT(slowest, 5s);
    EXPECT_TRUE(port.isOpen());
    EXPECT_FALSE(port.lineDead());
}

} // namespace
} // namespace bm
