// brennmark-cli's side of the controls table (model/controls.h): the owner of
// the line a set needs. Direct commands, IR keys and name commands are sent
// with the capture on, so the unit's acknowledgement or refusal comes back here
// and a refusal is never retried; parameter writes read the unit's values
// first and change only the one asked for.
#pragma once

#include "model/controls.h"

namespace bm::cli {

class CliSession;

class CliLine : public controls::LineHost {
public:
    explicit CliLine(CliSession& session) : session_(session) {}

    DeviceModel& model() override;
    const controls::ReadLog& readLog() const override;
    controls::Outcome exchange(std::uint8_t command, const std::function<void()>& send, std::string& error) override;
    controls::Outcome writeParams(const std::function<int()>& change, std::string& error) override;
    bool waitFor(const std::function<bool()>& done, int limitMs) override;
    bool stepFailed() const override;
    bool reread() override;
    bool customNameShown() const override;
    bool lineLost() const override;

private:
    CliSession& session_;
};

} // namespace bm::cli
