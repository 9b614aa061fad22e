// The settings store in the Windows registry, under HKEY_CURRENT_USER, laid out
// and typed as QSettings' native format lays out and types its values, so that
// the control panel built with Qt for Windows and the programs without Qt share
// one store: a section "Config\Params\Names" is that subkey of the root key,
// integers are REG_DWORD, texts REG_SZ (UTF-16; a text with a NUL in it
// REG_BINARY, and one starting with '@' stored with a second '@', as Qt does).
// Texts are 8-bit in the program and cross as Latin-1, byte for byte, as in
// the QSettings store.
#pragma once

#include "platform/settings_store.h"

#include <mutex>
#include <string>

namespace bm {

class RegistrySettingsStore : public SettingsStore {
public:
    // `rootKey` is the path under HKEY_CURRENT_USER ("Software\\Tollvane\\Brennmark").
    explicit RegistrySettingsStore(std::string rootKey);

    int readInt(std::string_view section, std::string_view name, int defaultValue) override;
    std::string readString(std::string_view section, std::string_view name,
                           std::string_view defaultValue) override;
    bool writeInt(std::string_view section, std::string_view name, int value) override;
    bool writeString(std::string_view section, std::string_view name,
                     std::string_view value) override;
    bool contains(std::string_view section, std::string_view name) override;

    // "\HKEY_CURRENT_USER\Software\..." as QSettings::fileName() names it.
    std::string location() const;
    // Deletes the whole root key and everything under it (tests).
    bool removeAll();

private:
    const std::string rootKey_;
    // Serialises each read-modify of a key: the registry is safe across
    // threads, but a value is read as its type and then its data.
    std::mutex mutex_;
};

// HKEY_CURRENT_USER\Software\Tollvane\Brennmark, or a key beside it named
// "Brennmark" + `suffix`.
std::string brennmarkRegistryKey(const std::string& suffix = {});

} // namespace bm
