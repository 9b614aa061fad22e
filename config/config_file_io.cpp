// The configuration file writer and the one loader, on the platform's file
// access.
#include "config/config_file_io.h"

namespace bm {
namespace {

bool isSeparator(char c)
{
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

std::size_t fileNameStart(const std::string& path)
{
    for (std::size_t i = path.size(); i > 0; --i)
        if (isSeparator(path[i - 1]))
            return i;
    return 0;
}

} // namespace

ConfigFileWriter::ConfigFileWriter(std::string targetPath) : target_(std::move(targetPath)) {}

ConfigFileWriter::ConfigFileWriter() : inMemory_(true) {}

ConfigFileWriter::~ConfigFileWriter()
{
    discard();
}

bool ConfigFileWriter::fail(std::string reason)
{
    if (reason_.empty())
        reason_ = std::move(reason);
    return false;
}

bool ConfigFileWriter::open()
{
    if (inMemory_) {
        memory_.clear();
        return true;
    }
    if (file_.isOpen() || !reason_.empty())
        return false;
    std::string target, why;
    // The link's file, checked: a FIFO, a device or a folder is never written.
    if (!files::resolveSaveTarget(target_, target, why) || !file_.create(target, why))
        return fail(why);
    target_ = target;
    return true;
}

bool ConfigFileWriter::write(const std::uint8_t* data, std::size_t length)
{
    if (!reason_.empty())
        return false;
    if (inMemory_) {
        memory_.insert(memory_.end(), data, data + length);
        return true;
    }
    std::string why;
    if (!file_.isOpen())
        return fail("the file is not open");
    if (!file_.write(data, length, why))
        return fail(why);
    return true;
}

bool ConfigFileWriter::commit()
{
    if (!reason_.empty())
        return false;
    if (inMemory_)
        return true;
    std::string why;
    if (!file_.isOpen())
        return fail("the file is not open");
    if (!file_.flush(why) || !file_.replace(target_, why))
        return fail(why);
    return true;
}

void ConfigFileWriter::discard()
{
    file_.remove();
}

std::optional<ConfigFileContents> loadConfigFile(const std::string& path, std::string& error, bool* unreadable)
{
    if (unreadable)
        *unreadable = false;
    std::vector<std::uint8_t> bytes;
    std::string why;
    if (!files::readRegularFile(path, kConfigFileSizeLimit, bytes, why)) {
        if (unreadable)
            *unreadable = true;
        error = "Cannot read " + path + ": " + why;
        return std::nullopt;
    }
    return loadConfigBytes(path, bytes, error);
}

std::optional<ConfigFileContents> loadConfigBytes(const std::string& name, const std::vector<std::uint8_t>& bytes,
                                                  std::string& error)
{
    std::string why;
    auto contents = bytes.size() > kConfigFileSizeLimit
                        ? std::nullopt
                        : parseConfigFile(bytes.data(), bytes.size(), &why);
    if (!contents)
        error = "Cannot use " + name + ": " + (why.empty() ? "larger than any configuration file" : why);
    return contents;
}

std::string folderOf(const std::string& path)
{
    return path.substr(0, fileNameStart(path));
}

} // namespace bm
