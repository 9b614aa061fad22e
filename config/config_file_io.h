// Files for the configuration save and restore, through the platform's file
// access. A save never harms the file it replaces: its bytes go to a temporary
// file beside the target, which takes the target's place by an atomic rename
// only once the whole configuration was written and flushed, and a save
// writes only over a regular file or to a new path. Every configuration file
// is read by loadConfigFile, the one loader.
#pragma once

#include "config/config_file.h"
#include "platform/file_access.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bm {

class ConfigFileWriter {
public:
    // A writer to the file at `targetPath` (through a symbolic link, the file
    // it names).
    explicit ConfigFileWriter(std::string targetPath);
    // A writer that keeps the file in memory (bytes()), for a configuration
    // read only to be compared.
    ConfigFileWriter();
    ~ConfigFileWriter(); // discards an uncommitted temporary file

    ConfigFileWriter(const ConfigFileWriter&) = delete;
    ConfigFileWriter& operator=(const ConfigFileWriter&) = delete;

    // Creates the temporary file in the target's folder. False when it cannot
    // (missing or unwritable folder, a target that is not a regular file);
    // nothing is left behind then.
    bool open();
    // Appends bytes. False on any failure (disk full, file too large); once a
    // write has failed every later write and commit() fail too.
    bool write(const std::uint8_t* data, std::size_t length);
    bool write(const std::vector<std::uint8_t>& bytes) { return write(bytes.data(), bytes.size()); }
    // Flushes the data to the disk and renames the temporary file over the
    // target. False when any step fails; the target is then as it was.
    bool commit();
    // Closes and removes the temporary file unless committed.
    void discard();

    const std::string& targetPath() const { return target_; }
    // Empty before open() and after commit() or discard().
    const std::string& temporaryPath() const { return file_.path(); }
    // The reason of the first failure in words ("" when none).
    const std::string& reason() const { return reason_; }
    // What a writer in memory holds.
    const std::vector<std::uint8_t>& bytes() const { return memory_; }

private:
    bool fail(std::string reason);

    bool inMemory_ = false;
    std::string target_;
    files::TemporaryFile file_;
    std::vector<std::uint8_t> memory_;
    std::string reason_;
};

// Reads the configuration file at `path` and checks it (parseConfigFile).
// Never waits on a FIFO or a device, and reads nothing but a regular file.
// Nothing, with the reason in `error` naming the file: "Cannot read PATH:
// REASON" when it could not be read (and `unreadable`, when given, set),
// "Cannot use PATH: REASON" when its bytes are not a configuration to restore
// or compare.
std::optional<ConfigFileContents> loadConfigFile(const std::string& path, std::string& error,
                                                 bool* unreadable = nullptr);

// The loader's check of a file already read (an upload to the web remote):
// "Cannot use NAME: REASON" when the bytes are not a configuration to restore
// or compare.
std::optional<ConfigFileContents> loadConfigBytes(const std::string& name, const std::vector<std::uint8_t>& bytes,
                                                  std::string& error);

// The folder part of a path: everything up to and including its last separator
// ("" when there is none).
std::string folderOf(const std::string& path);

} // namespace bm
