// The serial line over POSIX termios: a real serial port or a pseudo-terminal.
// Port numbers map to device paths through the "Comm" settings ("Com1Device" ..
// "Com4Device"); a path given to the constructor overrides the mapping.
#pragma once

#include "platform/serial_device.h"
#include "platform/settings_store.h"

#include <atomic>
#include <cstddef>
#include <shared_mutex>
#include <string>
#include <termios.h>

namespace bm {

class TermiosSerialPort : public SerialDevice {
public:
    explicit TermiosSerialPort(SettingsStore& settings, std::string overridePath = {});
    ~TermiosSerialPort() override;

    TermiosSerialPort(const TermiosSerialPort&) = delete;
    TermiosSerialPort& operator=(const TermiosSerialPort&) = delete;

    // Opens exclusively: TIOCEXCL keeps other users out, an advisory flock also
    // keeps out root (and a second TermiosSerialPort in this process).
    bool open(int portNumber) override;
    bool isOpen() const override;
    void close() override;
    std::size_t readAvailable(std::uint8_t* buffer, std::size_t capacity) override;
    void startWrite(const std::uint8_t* data, std::size_t length) override;
    void waitWriteComplete() override;
    std::string devicePath() const override;
    std::string openError() const override;
    bool openBusy() const override;
    int pollDescriptor() const override;
    bool lineLost() const override;

    // True once a read or write has seen the line hang up or fail; reset by open().
    bool lineDead() const { return dead_.load(); }
    // The open descriptor, or -1 (tests read the line settings back through it).
    int nativeHandle() const { return fd_.load(); }

    // The line settings this port wrote at its last open (what the driver
    // keeps may differ: Linux pseudo-terminals drop PARENB).
    termios appliedLineSettings() const;

    // The path port `portNumber` maps to (port 1's for numbers outside 1..4).
    std::string pathForPort(int portNumber) const;

private:
    SettingsStore& settings_;
    const std::string overridePath_;

    // Held shared by reads and writes, exclusively by open and close, so that
    // the descriptor is never closed (and its number reused) under a read or
    // write running on another thread. Guards path_ as well.
    mutable std::shared_mutex fdMutex_;
    std::string path_;
    std::string openError_;
    bool openBusy_ = false; // the last open found the device held by another program
    termios applied_{};
    std::atomic<int> fd_{-1};
    std::atomic<bool> dead_{false};
    // Length of the last write, bounding how long waitWriteComplete may wait.
    std::atomic<std::size_t> lastWriteLength_{0};
};

} // namespace bm
