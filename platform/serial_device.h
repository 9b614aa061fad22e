// The serial line to the processor, as the link sees it: open by port number,
// non-blocking reads, a write that is started and later waited for, close.
// Back-ends: TermiosSerialPort (a real tty or pseudo-terminal) and FakeSerialPort (tests).
#pragma once

#include "platform/line_wait.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace bm {

class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    // Opens port 1..4 (any other number opens port 1) for exclusive read and
    // write at 19200 baud, 8 data bits, odd parity, one stop bit, raw mode.
    // Returns false when the device is missing or already held.
    virtual bool open(int portNumber) = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;

    // Returns at once with the bytes that have arrived (0 when none). A read
    // error or hang-up also returns 0, and lineLost() then tells it from silence.
    virtual std::size_t readAvailable(std::uint8_t* buffer, std::size_t capacity) = 0;

    // Starts writing the whole buffer; waitWriteComplete() blocks until every
    // byte has left (tcdrain on a tty). Failures are not reported to the
    // caller: the receiver's time-out rule is the only recovery.
    virtual void startWrite(const std::uint8_t* data, std::size_t length) = 0;
    virtual void waitWriteComplete() = 0;

    // The device path that was (or would be) opened, for messages and the UI.
    virtual std::string devicePath() const = 0;
    // Why the last open() failed, in words ("" after a successful open).
    virtual std::string openError() const { return {}; }
    // True when the last open() failed because another program holds the
    // device (it may come free), as against a device that is missing or refused.
    virtual bool openBusy() const { return false; }

    // Waits at most `timeoutMs` for bytes to arrive, the line to fail or
    // `wake` to be raised, and says which (LineWaitResult bits), so that a
    // reader takes an answer the moment it arrives. kLineCannotWait when the
    // back-end has nothing to wait on (the reader then falls back to timed passes).
    virtual unsigned waitForBytes(WakeSignal& wake, int timeoutMs) { return kLineCannotWait; }
    // True once a read or write found the line gone (hang-up, unplugged
    // adapter, dropped connection); cleared by a successful open().
    virtual bool lineLost() const { return false; }
    // True for a line that the service shares among its clients: a request
    // waits there for the others' work before it reaches the unit, and the
    // service answers it once the unit has (or hangs up when the unit is gone).
    virtual bool sharedLine() const { return false; }
};

} // namespace bm
