// Files for the configuration save and restore. A save never harms the file it
// replaces: its bytes go to a temporary file beside the target, which takes the
// target's place by rename only once the whole configuration was written and
// synced. A writer dropped without commit() leaves no trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bm {

class ConfigFileWriter {
public:
    explicit ConfigFileWriter(std::string targetPath);
    ~ConfigFileWriter(); // discards an uncommitted temporary file

    ConfigFileWriter(const ConfigFileWriter&) = delete;
    ConfigFileWriter& operator=(const ConfigFileWriter&) = delete;

    // Creates the temporary file in the target's folder. False when it cannot
    // (missing or unwritable folder); nothing is left behind then.
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
    const std::string& temporaryPath() const { return temporary_; }
    // errno of the first failure, 0 when none.
    int error() const { return error_; }

private:
    bool fail();

    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    int error_ = 0;
};

// Reads at most `limit` bytes from the start of an existing file into `out`.
// False when the file cannot be opened or read.
bool readFilePrefix(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out);

// The folder part of a path: everything up to and including its last separator
// ("" when there is none).
std::string folderOf(const std::string& path);

} // namespace bm
