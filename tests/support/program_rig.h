// The program's side of a test: settings store, prompt, owner window, device
// model and link, with a fake line of its own or any line the test gives.
#pragma once

#include "link/quor_control.h"
#include "model/device_model.h"
#include "tests/support/fake_serial_port.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"

#include <functional>
#include <iosfwd>
#include <memory>

namespace bm::test {

// The owner window's timers and notices, dispatched while a test waits (as
// the user-interface thread would).
inline std::function<void()> dispatching(ManualOwnerWindow& owner)
{
    return [&owner] { owner.dispatch(); };
}

class ProgramRig {
public:
    ProgramRig() = default;
    virtual ~ProgramRig() { link.reset(); }
    ProgramRig(const ProgramRig&) = delete;
    ProgramRig& operator=(const ProgramRig&) = delete;

    // Constructs the link on `line` (which opens it and starts the status
    // sweep); `reload` forces the definitions download, `trace` takes the
    // link's trace when given.
    CQuorControl& startOn(SerialDevice& line, bool reload = false, std::ostream* trace = nullptr);
    // Constructs the link on the fake line, whose unit answers the greeting at
    // once (an acknowledgement of HOST_WAKEUP waits on it); the sweep the link
    // starts is left to the test.
    CQuorControl& startOnFakeLine(bool reload = false);

    // Waits until the unit was heard, the status sweep has ended and no
    // download is pending, dispatching the owner window meanwhile when `pump`.
    bool waitForStartup(int limitMs, bool pump = false);

    InMemorySettings settings;
    ScriptedPrompt prompt;
    ManualOwnerWindow owner;
    FakeSerialPort port; // the line of startOnFakeLine()
    DeviceModel model{settings, prompt};
    std::unique_ptr<CQuorControl> link; // reset first, before what it uses
};

} // namespace bm::test
