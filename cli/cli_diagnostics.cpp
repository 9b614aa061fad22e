// The diagnostics bundle: a status read under capture, then a tar.gz of what
// a maintainer needs, without the secrets.
#include "cli/cli_diagnostics.h"

#include "cli/cli_session.h"
#include "link/capture_file.h"
#include "platform/settings_keys.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace bm::cli {
namespace {

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A variable whose value must not leave the machine.
bool secretName(std::string name)
{
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    for (const char* word : {"PASSWORD", "PASSWD", "TOKEN", "SECRET", "CREDENTIAL", "KEY"})
        if (name.find(word) != std::string::npos)
            return true;
    return false;
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::string diagnosticsSettingsText(SettingsStore& s, const std::vector<std::string>& environment)
{
    std::string text = "[Comm]\n";
    text += std::string(keys::kCommPort) + "=" +
            std::to_string(s.readInt(keys::kComm, keys::kCommPort, keys::kCommPortAbsent)) + "\n";
    for (const char* device : keys::kComDevice)
        text += std::string(device) + "=" + s.readString(keys::kComm, device, "(default)") + "\n";
    for (const keys::TimingKey& key : keys::kTimingKeys)
        text += std::string(key.name) + "=" + std::to_string(s.readInt(keys::kComm, key.name, key.defaultValue)) + "\n";
    text += "\n[Definition cache]\n";
    for (const char* field : keys::kUnitConfigFields)
        text += std::string(field) + "=" + std::to_string(s.readInt(keys::kCacheUnitConfig, field, -1)) + "\n";
    text += std::string(keys::kTimeStamp) + "=" + s.readString(keys::kCacheUnitConfig, keys::kTimeStamp, "") + "\n";
    text += std::string(keys::kDefinitionsComplete) + "=" +
            s.readString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, "") + "\n";
    text += "\n[Environment]\n";
    std::vector<std::string> ours;
    for (const std::string& entry : environment)
        if (entry.rfind("BRENNMARK", 0) == 0)
            ours.push_back(entry);
    std::sort(ours.begin(), ours.end());
    for (const std::string& entry : ours) {
        const std::size_t equals = entry.find('=');
        const std::string name = entry.substr(0, equals);
        text += secretName(name) ? name + "=(left out)\n" : entry + "\n";
    }
    return text;
}

int checkDiagnostics(CliSession&, const Invocation& invocation)
{
    if (invocation.args.size() != 1 || !endsWith(invocation.args[0], ".tar.gz")) {
        return fail(kExitError, "diagnostics needs one FILE.tar.gz (see brennmark-cli diagnostics --help)");
    }
    return kExitOk;
}

int runDiagnostics(CliSession& session, const Invocation& invocation)
{
    const std::string bundle = invocation.args[0];
    const std::string capturePath = bundle + ".capture.jsonl";
    std::string error;
    session.startCapture(capturePath, true);
    int status = session.connect(error);
    if (status == kExitOk && !session.link().state().UnitConfirmed) {
        status = kExitNoUnit;
        error = "something answered, but never identified itself as a DE-1 or ZA-2";
    }
    session.closeCapture();

    SettingsStore& s = session.settings();
    const int product = s.readInt(keys::kCacheUnitConfig, keys::kUnitConfigFields[0], 0);
    std::string versions = "brennmark-cli 1.02\ncapture format " + std::to_string(kCaptureFormat) + "\n";
    versions += "system: " + systemDescription() + "\n";
    versions += "unit: " + std::string(product == 2 ? "DE-1" : product == 1 ? "ZA-2" : "(unknown)") + ", ROM " +
                s.readString(keys::kCacheUnitConfig, keys::kTimeStamp, "(unknown)") + ", software " +
                std::to_string(s.readInt(keys::kCacheUnitConfig, keys::kUnitConfigFields[3], 0)) + "." +
                std::to_string(s.readInt(keys::kCacheUnitConfig, keys::kUnitConfigFields[4], 0)) + "\n";
    versions += "status read: " + (status == kExitOk ? std::string("done") : error) + "\n";

    const std::string archive = tarArchive({
        {"capture.jsonl", readText(capturePath)},
        {"versions.txt", versions},
        {"settings.txt", diagnosticsSettingsText(s, processEnvironment())},
        {"service-log.txt", serviceLogTail(200)},
    });
    std::error_code ignored;
    std::filesystem::remove(capturePath, ignored);
    if (!writeGzipFile(bundle, archive, error)) {
        return fail(kExitError, error);
    }
    if (!invocation.json)
        std::printf("diagnostics written to %s%s\n", bundle.c_str(),
                    status == kExitOk ? "" : " (the unit could not be read; the capture shows how far it got)");
    else
        std::printf("{\"written\":\"%s\",\"unit_read\":%s}\n", bundle.c_str(), status == kExitOk ? "true" : "false");
    return kExitOk;
}

} // namespace bm::cli
