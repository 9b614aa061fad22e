// The serial line on Windows: a COM port opened with CreateFile for overlapped
// I/O. Port numbers map to device names through the "Comm" settings
// ("Com1Device".."Com4Device", defaults COM1..COM4); "COM5" and the like open
// as "\\.\COM5". A path given to the constructor overrides the mapping.
#pragma once

#include "platform/serial_device.h"
#include "platform/settings_store.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <shared_mutex>
#include <string>

namespace bm {

// What the line reports after open: the settings written, or what the driver
// kept when it refused them.
struct Win32LineSettings {
    DWORD baudRate = 0;
    BYTE byteSize = 0;
    BYTE parity = 0;
    BYTE stopBits = 0;
    bool outxCtsFlow = false;
    bool outX = false;
    bool inX = false;
    bool written = false; // SetCommState accepted them
};

// "COM3" -> "\\.\COM3"; a name that already starts with "\\" is kept.
std::string win32DeviceName(const std::string& device);

class Win32SerialPort : public SerialDevice {
public:
    explicit Win32SerialPort(SettingsStore& settings, std::string overridePath = {});
    ~Win32SerialPort() override;

    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    // Opens exclusively (no sharing): a second open of the port fails with
    // ERROR_ACCESS_DENIED, reported as "in use by another program".
    bool open(int portNumber) override;
    bool isOpen() const override;
    void close() override;
    std::size_t readAvailable(std::uint8_t* buffer, std::size_t capacity) override;
    void startWrite(const std::uint8_t* data, std::size_t length) override;
    void waitWriteComplete() override;
    std::string devicePath() const override;
    std::string openError() const override;
    // The last open found the port held by another program
    // (ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION).
    bool openBusy() const override;
    // One byte read is kept pending on the port; its completion (or the
    // wake-up) ends the wait.
    unsigned waitForBytes(WakeSignal& wake, int timeoutMs) override;
    bool lineLost() const override { return dead_.load(); }

    Win32LineSettings lineSettings() const;
    std::string pathForPort(int portNumber) const;

private:
    // Reader thread: starts the one-byte read if none is pending; true when a
    // byte is (already) there.
    bool armRead();
    // Reader thread: takes the pending read's byte if it has completed.
    bool collectRead(bool wait);
    std::size_t readQueued(std::uint8_t* buffer, std::size_t capacity);
    void markDead(DWORD error);

    SettingsStore& settings_;
    const std::string overridePath_;

    // Held shared by reads and writes, exclusively by open and close, so the
    // handle is never closed under an operation on another thread. Guards
    // path_, openError_, openBusy_ and line_ as well.
    mutable std::shared_mutex handleMutex_;
    std::string path_;
    std::string openError_;
    bool openBusy_ = false;
    Win32LineSettings line_;
    std::atomic<HANDLE> handle_{INVALID_HANDLE_VALUE};
    std::atomic<bool> dead_{false};
    std::atomic<std::size_t> lastWriteLength_{0};

    // The pending one-byte read: reader thread only (open/close with the
    // reader stopped or on it).
    OVERLAPPED readOv_{};
    HANDLE readEvent_ = nullptr;
    bool readPending_ = false;
    bool haveByte_ = false;
    std::uint8_t pendingByte_ = 0;
    // The writer thread's overlapped write.
    HANDLE writeEvent_ = nullptr;
};

} // namespace bm
