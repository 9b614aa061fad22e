// Win32SerialPort: overlapped reads and writes with bounded waits, so that a
// pulled adapter never holds a link thread for good; it reads as silence and
// is reported by lineLost(). Reads use zero time-outs (a read waits for its
// whole count): one byte is kept pending to wait on, and the rest is taken
// only as far as ClearCommError reports it queued, so no read ever waits.
// The {MAXDWORD, MAXDWORD, T} "return on the first byte" time-outs are not
// used: Wine answers such a read only at T.
#include "platform/win32_serial.h"
#include "platform/win32_text.h"

#include "platform/settings_keys.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace bm {
namespace {

using Clock = std::chrono::steady_clock;

// The write time-outs the line has always had: 3 ms per byte plus 100 ms.
DWORD writeBoundMs(std::size_t length)
{
    return static_cast<DWORD>(100 + 3 * length);
}

std::string errorText(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "No such device";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "in use by another program";
    default:
        break;
    }
    return win32::systemErrorText(error);
}

// Another program holds the port (Windows opens a COM port only once).
bool isBusyError(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

// Waits for an overlapped operation within `ms`; cancels it when the time is up.
// Returns the bytes moved, and whether it failed (not merely ran out of time).
DWORD finishOverlapped(HANDLE h, OVERLAPPED& ov, DWORD ms, bool& failed, DWORD& error)
{
    failed = false;
    error = 0;
    DWORD moved = 0;
    if (::WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0)
        ::CancelIoEx(h, &ov);
    if (!::GetOverlappedResult(h, &ov, &moved, TRUE)) {
        error = ::GetLastError();
        failed = error != ERROR_OPERATION_ABORTED;
    }
    return moved;
}

} // namespace

std::string win32DeviceName(const std::string& device)
{
    if (device.rfind("\\\\", 0) == 0)
        return device;
    return "\\\\.\\" + device;
}

Win32SerialPort::Win32SerialPort(SettingsStore& settings, std::string overridePath)
    : settings_(settings), overridePath_(std::move(overridePath))
{
    readEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Win32SerialPort::~Win32SerialPort()
{
    close();
    ::CloseHandle(readEvent_);
    ::CloseHandle(writeEvent_);
}

std::string Win32SerialPort::pathForPort(int portNumber) const
{
    if (!overridePath_.empty())
        return overridePath_;
    const int index = (portNumber >= 1 && portNumber <= 4) ? portNumber - 1 : 0;
    return settings_.readString(keys::kComm, keys::kComDevice[index], keys::kComDeviceDefault[index]);
}

bool Win32SerialPort::open(int portNumber)
{
    const std::string path = pathForPort(portNumber);
    std::unique_lock lock(handleMutex_);
    if (handle_.load() != INVALID_HANDLE_VALUE) {
        openError_ = "the port is already open";
        return false;
    }
    path_ = path;
    openError_.clear();
    openBusy_ = false;

    // No sharing: Windows refuses a second open of a COM port anyway, and this
    // keeps out a second open in this process as well.
    const HANDLE h = ::CreateFileW(win32::widenUtf8(win32DeviceName(path)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        openError_ = errorText(error);
        openBusy_ = isBusyError(error);
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb)) {
        openError_ = "not a serial device";
        ::CloseHandle(h);
        return false;
    }
    // 19200 baud, 8 data bits, odd parity, one stop bit, binary, no flow
    // control of either kind: the unit drives no handshake lines, and its
    // packets may hold the XON and XOFF bytes. A refusal is not fatal, as with
    // termios: the line then reports what it kept (Wine refuses a second
    // SetCommState with odd parity on a pseudo-terminal).
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 8;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    const bool written = ::SetCommState(h, &dcb) != 0;
    DCB kept{};
    kept.DCBlength = sizeof kept;
    if (!::GetCommState(h, &kept))
        kept = dcb;
    line_ = Win32LineSettings{kept.BaudRate, kept.ByteSize, kept.Parity, kept.StopBits,
                              kept.fOutxCtsFlow != 0, kept.fOutX != 0, kept.fInX != 0, written};

    // Zero time-outs: a read waits for its whole count, a write for its bytes
    // to be taken; every wait of ours is bounded by the overlapped waits.
    COMMTIMEOUTS timeouts{};
    ::SetCommTimeouts(h, &timeouts);
    // Whatever arrived before we owned the line belongs to nobody.
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_TXABORT);

    readPending_ = false;
    haveByte_ = false;
    dead_ = false;
    lastWriteLength_ = 0;
    handle_ = h;
    return true;
}

std::string Win32SerialPort::openError() const
{
    std::shared_lock lock(handleMutex_);
    return openError_;
}

bool Win32SerialPort::openBusy() const
{
    std::shared_lock lock(handleMutex_);
    return openBusy_;
}

Win32LineSettings Win32SerialPort::lineSettings() const
{
    std::shared_lock lock(handleMutex_);
    return line_;
}

bool Win32SerialPort::isOpen() const
{
    return handle_.load() != INVALID_HANDLE_VALUE;
}

void Win32SerialPort::close()
{
    std::unique_lock lock(handleMutex_);
    const HANDLE h = handle_.exchange(INVALID_HANDLE_VALUE);
    if (h == INVALID_HANDLE_VALUE)
        return;
    ::CancelIoEx(h, nullptr);
    if (readPending_) {
        DWORD moved = 0;
        ::GetOverlappedResult(h, &readOv_, &moved, TRUE);
        readPending_ = false;
    }
    haveByte_ = false;
    ::CloseHandle(h);
}

void Win32SerialPort::markDead(DWORD error)
{
    // A cancelled operation is ours; anything else (ERROR_ACCESS_DENIED,
    // ERROR_BAD_COMMAND, ERROR_DEVICE_REMOVED, ...) means the port is gone.
    if (error != ERROR_OPERATION_ABORTED && error != ERROR_IO_PENDING)
        dead_ = true;
}

bool Win32SerialPort::armRead()
{
    const HANDLE h = handle_.load();
    if (haveByte_)
        return true;
    if (readPending_)
        return false;
    readOv_ = OVERLAPPED{};
    readOv_.hEvent = readEvent_;
    ::ResetEvent(readEvent_);
    DWORD moved = 0;
    if (::ReadFile(h, &pendingByte_, 1, &moved, &readOv_)) {
        haveByte_ = moved == 1;
        return haveByte_;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        readPending_ = true;
        return false;
    }
    markDead(error);
    return false;
}

bool Win32SerialPort::collectRead(bool wait)
{
    if (haveByte_)
        return true;
    if (!readPending_)
        return false;
    const HANDLE h = handle_.load();
    DWORD moved = 0;
    if (!::GetOverlappedResult(h, &readOv_, &moved, wait ? TRUE : FALSE)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return false;
        readPending_ = false;
        markDead(error);
        return false;
    }
    readPending_ = false;
    haveByte_ = moved == 1;
    return haveByte_;
}

unsigned Win32SerialPort::waitForBytes(WakeSignal& wake, int timeoutMs)
{
    std::shared_lock lock(handleMutex_);
    if (handle_.load() == INVALID_HANDLE_VALUE)
        return kLineCannotWait;
    if (dead_.load())
        return kLineHungUp;
    if (armRead())
        return kLineReadable;
    if (dead_.load())
        return kLineHungUp;
    const HANDLE both[2] = {readEvent_, reinterpret_cast<HANDLE>(wake.native())};
    const DWORD r = ::WaitForMultipleObjects(2, both, FALSE, static_cast<DWORD>(std::max(timeoutMs, 0)));
    unsigned result = kLineIdle;
    if (r == WAIT_OBJECT_0)
        result |= kLineReadable; // the read completed: a byte, or the line failed
    else if (r == WAIT_OBJECT_0 + 1)
        result |= kLineWoken;
    return result;
}

std::size_t Win32SerialPort::readQueued(std::uint8_t* buffer, std::size_t capacity)
{
    const HANDLE h = handle_.load();
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(h, &errors, &status)) {
        markDead(::GetLastError());
        return 0;
    }
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(status.cbInQue, capacity));
    if (want == 0)
        return 0;
    OVERLAPPED ov{};
    ov.hEvent = readEvent_;
    ::ResetEvent(readEvent_);
    DWORD moved = 0;
    if (::ReadFile(h, buffer, want, &moved, &ov))
        return moved;
    DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) {
        markDead(error);
        return 0;
    }
    // The bytes are queued already, so this returns at once; the bound only
    // guards a driver that miscounts.
    bool failed = false;
    moved = finishOverlapped(h, ov, 100, failed, error);
    if (failed)
        markDead(error);
    return moved;
}

std::size_t Win32SerialPort::readAvailable(std::uint8_t* buffer, std::size_t capacity)
{
    std::shared_lock lock(handleMutex_);
    if (handle_.load() == INVALID_HANDLE_VALUE || capacity == 0 || dead_.load())
        return 0;
    std::size_t n = 0;
    if (readPending_ && !collectRead(false))
        return 0; // the pending read takes the next byte first; none yet
    if (haveByte_) {
        buffer[n++] = pendingByte_;
        haveByte_ = false;
    }
    if (dead_.load())
        return n;
    return n + readQueued(buffer + n, capacity - n);
}

void Win32SerialPort::startWrite(const std::uint8_t* data, std::size_t length)
{
    std::shared_lock lock(handleMutex_);
    const HANDLE h = handle_.load();
    lastWriteLength_ = length;
    if (h == INVALID_HANDLE_VALUE || dead_.load() || length == 0)
        return;
    OVERLAPPED ov{};
    ov.hEvent = writeEvent_;
    ::ResetEvent(writeEvent_);
    DWORD moved = 0;
    if (::WriteFile(h, data, static_cast<DWORD>(length), &moved, &ov))
        return;
    DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) {
        markDead(error);
        return;
    }
    // A line that does not take our bytes in time is given up on; the
    // receiver's time-out recovers.
    bool failed = false;
    finishOverlapped(h, ov, writeBoundMs(length), failed, error);
    if (failed)
        markDead(error);
}

void Win32SerialPort::waitWriteComplete()
{
    std::shared_lock lock(handleMutex_);
    const HANDLE h = handle_.load();
    if (h == INVALID_HANDLE_VALUE || dead_.load())
        return;
    // The output queue, as ClearCommError reports it, drains within the
    // write's own bound (FlushFileBuffers has none).
    const auto deadline = Clock::now() + std::chrono::milliseconds(writeBoundMs(lastWriteLength_.load()));
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(h, &errors, &status)) {
            markDead(::GetLastError());
            return;
        }
        if (status.cbOutQue == 0 || Clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string Win32SerialPort::devicePath() const
{
    {
        std::shared_lock lock(handleMutex_);
        if (!path_.empty())
            return path_;
    }
    return pathForPort(1);
}

} // namespace bm
