// The configuration file's layout, its reader, and the writer that must never
// harm a file it was asked to replace.
#include "config/config_file.h"
#include "config/config_diff.h"
#include "config/config_file_io.h"
#include "config_test_support.h"
#include "platform/file_dialog.h"
#include "tests/support/fifo_watchdog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace bm {
namespace {

using test::Bytes;
using test::TempFolder;

Bytes text(const char* s)
{
    return Bytes(s, s + std::strlen(s));
}

TEST(ConfigFileHeader, FieldsSitAtTheirOffsets)
{
    ConfigFileHeader header = ConfigFileHeader::make();
    for (std::size_t i = 0; i < header.unitConfig.size(); ++i)
        header.unitConfig[i] = static_cast<std::uint8_t>(0xC0 + i);
    for (int i = 0; i < kInputCount; ++i) {
        const Bytes name = text(("In" + std::to_string(i)).c_str());
        header.setInputName(i, name.data(), name.size());
    }
    const Bytes custom = text("Den");
    header.setCustomName(custom.data(), custom.size());

    const auto bytes = header.toBytes();
    ASSERT_EQ(bytes.size(), 204u);
    EXPECT_EQ((Bytes{bytes.begin(), bytes.begin() + 4}), (Bytes{0x45, 0x12, 0x87, 0xAB}));
    EXPECT_EQ(header.magicValue(), kConfigMagic);
    for (std::size_t i = 0; i < 25; ++i)
        EXPECT_EQ(bytes[8 + i], 0xC0 + i) << "identity byte " << i;
    for (int i = 0; i < kInputCount; ++i) {
        const std::size_t at = 68 + 14 * static_cast<std::size_t>(i);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[at])), "In" + std::to_string(i));
        for (std::size_t k = 3; k < 14; ++k)
            EXPECT_EQ(bytes[at + k], 0) << "input " << i << " byte " << k;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[180])), "Den");
    // Reserved ranges stay zero.
    for (std::size_t at : {4, 5, 6, 7, 201, 202, 203})
        EXPECT_EQ(bytes[at], 0) << at;
    for (std::size_t at = 33; at < 68; ++at)
        EXPECT_EQ(bytes[at], 0) << at;

    const ConfigFileHeader back = ConfigFileHeader::fromBytes(bytes.data());
    EXPECT_EQ(back.toBytes(), bytes);
    EXPECT_EQ(back.inputNameText(7), "In7");
    EXPECT_EQ(back.customNameText(), "Den");
}

TEST(ConfigFileHeader, NamesAreCutToTheirFieldsAndStopAtNul)
{
    ConfigFileHeader header = ConfigFileHeader::make();
    const Bytes longName = text("ABCDEFGHIJKLMNOPQ"); // 17 characters
    header.setInputName(2, longName.data(), longName.size());
    const Bytes withNul = {'T', 'V', 0, 'x', 'y'};
    header.setInputName(4, withNul.data(), withNul.size());
    const Bytes custom = text("123456789012345678901"); // 21 characters
    header.setCustomName(custom.data(), custom.size());
    // The length given wins over a missing NUL.
    const Bytes unterminated = text("Zonk");
    header.setInputName(0, unterminated.data(), 2);

    const auto bytes = header.toBytes();
    EXPECT_EQ(header.inputNameText(2), "ABCDEFGHIJKLM");
    EXPECT_EQ(bytes[68 + 14 * 2 + 13], 0);
    EXPECT_EQ(header.inputNameText(4), "TV");
    EXPECT_EQ(bytes[68 + 14 * 4 + 3], 0) << "nothing after the NUL is copied";
    EXPECT_EQ(header.customNameText(), "12345678901234567890");
    EXPECT_EQ(bytes[200], 0);
    EXPECT_EQ(header.inputNameText(0), "Zo");
    // A file from elsewhere may fill a field to its last byte: that byte is
    // still not part of the name.
    auto raw = bytes;
    std::fill(raw.begin() + 68, raw.end(), 'x');
    const ConfigFileHeader full = ConfigFileHeader::fromBytes(raw.data());
    EXPECT_EQ(full.inputNameText(7), std::string(13, 'x'));
    EXPECT_EQ(full.customNameText(), std::string(20, 'x'));
    // Indexes outside the table write nothing.
    header.setInputName(8, longName.data(), longName.size());
    EXPECT_EQ(header.toBytes(), bytes);
}

Bytes sampleFile(int params, int effects)
{
    ConfigFileHeader header = ConfigFileHeader::make();
    header.unitConfig[0] = 2; // DE-1
    header.unitConfig[7] = static_cast<std::uint8_t>(params);
    header.unitConfig[8] = static_cast<std::uint8_t>(effects);
    const auto h = header.toBytes();
    Bytes file(h.begin(), h.end());
    SystemParamRecord system;
    for (int i = 0; i < params; ++i)
        system.values.push_back(static_cast<std::uint8_t>(i));
    const Bytes s = system.toBytes();
    file.insert(file.end(), s.begin(), s.end());
    for (int id = 0; id < effects; ++id) {
        EffectParamRecord effect;
        effect.effectId = static_cast<std::uint8_t>(id);
        effect.values.assign(static_cast<std::size_t>(id), 0x55);
        const Bytes e = effect.toBytes();
        file.insert(file.end(), e.begin(), e.end());
    }
    return file;
}

TEST(ConfigFileRecords, AreThePacketsWithoutFraming)
{
    const Packet values = framePacket(DC_RESP_SYS_PARAM_VALUES, {7, 8, 9});
    EXPECT_EQ(recordFromPacket(values), (Bytes{0x84, 3, 7, 8, 9}));
    const Packet effect = framePacket(DC_RESP_EFFECT_PARAM_VALUES, {5, 1, 2});
    EXPECT_EQ(recordFromPacket(effect), (Bytes{0x87, 3, 5, 1, 2}));
    EffectParamRecord record;
    record.effectId = 5;
    record.values = {1, 2};
    EXPECT_EQ(record.toBytes(), recordFromPacket(effect));
}

TEST(ConfigFileRecords, ParserFollowsTheLayout)
{
    const Bytes file = sampleFile(192, 3);
    ASSERT_EQ(file[204], 0x84);
    ASSERT_EQ(file[205], 192);
    ASSERT_EQ(file[398], 0x87) << "first effect record right after 204 + 2 + 192 bytes";

    std::string error;
    const auto contents = parseConfigFile(file.data(), file.size(), &error);
    ASSERT_TRUE(contents) << error;
    EXPECT_EQ(contents->system.values.size(), 192u);
    EXPECT_EQ(contents->system.values[191], 191);
    ASSERT_EQ(contents->effects.size(), 3u);
    EXPECT_EQ(contents->effects[2].effectId, 2);
    EXPECT_EQ(contents->effects[2].values, (Bytes{0x55, 0x55}));

    const Bytes noEffects = sampleFile(4, 0);
    EXPECT_EQ(noEffects.size(), 204u + 6u);
    EXPECT_TRUE(parseConfigFile(noEffects.data(), noEffects.size()));

    // Every cut, a wrong code, an empty effect record and trailing bytes fail.
    for (std::size_t size = 0; size < file.size(); size += 37)
        EXPECT_FALSE(parseConfigFile(file.data(), size)) << size;
    Bytes wrongCode = file;
    wrongCode[398] = 0x84;
    EXPECT_FALSE(parseConfigFile(wrongCode.data(), wrongCode.size(), &error));
    EXPECT_NE(error.find("offset 398"), std::string::npos) << error;
    Bytes emptyEffect = sampleFile(1, 1);
    emptyEffect.resize(emptyEffect.size() - 1);
    emptyEffect.back() = 0;
    EXPECT_FALSE(parseConfigFile(emptyEffect.data(), emptyEffect.size(), &error));
    Bytes trailing = file;
    trailing.push_back(0);
    EXPECT_FALSE(parseConfigFile(trailing.data(), trailing.size(), &error));
}

TEST(FileDialogHelpers, DefaultExtensionOnlyForNamesWithout)
{
    EXPECT_EQ(withDefaultExtension("/tmp/x/den", "lex"), "/tmp/x/den.lex");
    EXPECT_EQ(withDefaultExtension("/tmp/x/den.cfg", "lex"), "/tmp/x/den.cfg");
    EXPECT_EQ(withDefaultExtension("/tmp/v1.2/den", "lex"), "/tmp/v1.2/den.lex")
        << "a dot in a folder name is not the file's extension";
    EXPECT_EQ(withDefaultExtension("den", "lex"), "den.lex");
    EXPECT_EQ(FileDialogErrorName(0), nullptr);
    EXPECT_STREQ(FileDialogErrorName(0x3003), "FNERR_BUFFERTOOSMALL");
    EXPECT_STREQ(FileDialogErrorName(0xFFFF), "CDERR_DIALOGFAILURE");
    EXPECT_EQ(FileDialogErrorName(0x000D), nullptr);
}

class ConfigFileWriterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder.ok()); }
    TempFolder folder;
    const Bytes previous = {1, 2, 3, 4, 5};
};

TEST_F(ConfigFileWriterTest, CommitReplacesAndLeavesNoTemporaryFile)
{
    const std::string target = folder.file("unit.lex");
    test::writeFile(target, previous);
    ::chmod(target.c_str(), 0640);
    {
        ConfigFileWriter writer(target);
        ASSERT_TRUE(writer.open());
        EXPECT_EQ(folderOf(writer.temporaryPath()), folder.folder()) << "beside the target";
        ASSERT_TRUE(writer.write(Bytes{9, 9}));
        ASSERT_TRUE(writer.write(Bytes{8}));
        EXPECT_EQ(test::readFile(target), previous) << "untouched until the commit";
        ASSERT_TRUE(writer.commit());
    }
    EXPECT_EQ(test::readFile(target), (Bytes{9, 9, 8}));
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"unit.lex"});
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "a replaced file keeps its permissions";
}

TEST_F(ConfigFileWriterTest, UncommittedWriterLeavesTheTargetAsItWas)
{
    const std::string target = folder.file("unit.lex");
    test::writeFile(target, previous);
    {
        ConfigFileWriter writer(target);
        ASSERT_TRUE(writer.open());
        ASSERT_TRUE(writer.write(Bytes(300, 0xEE)));
    }
    EXPECT_EQ(test::readFile(target), previous);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"unit.lex"});

    ConfigFileWriter fresh(folder.file("new.lex"));
    ASSERT_TRUE(fresh.open());
    fresh.discard();
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"unit.lex"}) << "no new file either";
}

TEST_F(ConfigFileWriterTest, MissingFolderFailsToOpen)
{
    ConfigFileWriter writer(folder.file("absent/unit.lex"));
    EXPECT_FALSE(writer.open());
    EXPECT_EQ(writer.reason(), "No such file or directory");
    EXPECT_FALSE(writer.write(Bytes{1}));
    EXPECT_FALSE(writer.commit());
    ConfigFileWriter folderOnly(folder.folder());
    EXPECT_FALSE(folderOnly.open()) << "a path without a file name";
}

// A full disk, made real: the file-size limit makes write() fail part way.
TEST_F(ConfigFileWriterTest, WriteErrorFailsAndKeepsTheTarget)
{
    const std::string target = folder.file("unit.lex");
    test::writeFile(target, previous);
    test::FileSizeLimit limit(100);
    ASSERT_TRUE(limit.ok());

    bool wroteFirst = false, wroteSecond = true, committed = true;
    std::string error;
    {
        ConfigFileWriter writer(target);
        if (writer.open()) {
            wroteFirst = writer.write(Bytes(80, 1));
            wroteSecond = writer.write(Bytes(80, 2));
            committed = writer.commit();
            error = writer.reason();
        }
    }
    limit.lift();

    EXPECT_TRUE(wroteFirst);
    EXPECT_FALSE(wroteSecond);
    EXPECT_FALSE(committed);
    EXPECT_EQ(error, std::strerror(EFBIG));
    EXPECT_EQ(test::readFile(target), previous);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"unit.lex"});
}

TEST_F(ConfigFileWriterTest, SymbolicLinkKeepsPointingAtTheNewContents)
{
    ::mkdir(folder.file("real").c_str(), 0755);
    const std::string real = folder.file("real/unit.lex");
    test::writeFile(real, previous);
    const std::string link = folder.file("link.lex");
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    {
        ConfigFileWriter writer(link);
        ASSERT_TRUE(writer.open());
        ASSERT_TRUE(writer.write(Bytes{7}));
        ASSERT_TRUE(writer.commit());
    }
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(test::readFile(real), (Bytes{7}));
}

// The one loader behind every restore, selective restore, Compare and diff.
// Each row is refused with a message naming the file and the reason.
TEST(ConfigFileLoader, RefusesEveryFileThatIsNotWholeAndSound)
{
    TempFolder folder;
    ASSERT_TRUE(folder.ok());
    const Bytes good = sampleFile(24, 3);
    auto changed = [&](auto change) {
        Bytes b = good;
        change(b);
        return b;
    };
    struct Row {
        const char* name;
        Bytes bytes;
        const char* reason;
    };
    const std::vector<Row> rows = {
        {"header-cut.lex", Bytes(good.begin(), good.begin() + 150), "150 bytes, shorter than the 204-byte header"},
        {"one-short.lex", Bytes(good.begin(), good.end() - 1), "ends 1 byte short of effect parameter record 2"},
        {"values-cut.lex", Bytes(good.begin(), good.begin() + 220),
         "ends 10 bytes short of the system parameter record"},
        {"one-long.lex", changed([](Bytes& b) { b.push_back(0); }), "1 byte after the last record"},
        {"fewer-values.lex", changed([](Bytes& b) { b[205] = 23; b.erase(b.begin() + 229); }),
         "the system parameter record holds 23 values, the unit it was saved from has 24"},
        {"more-values.lex", changed([](Bytes& b) { b[205] = 25; b.insert(b.begin() + 230, 0); }),
         "the system parameter record holds 25 values, the unit it was saved from has 24"},
        {"no-system-record.lex", changed([](Bytes& b) { b.erase(b.begin() + 204, b.begin() + 230); }),
         "no system parameter record at offset 204 (a record of code 0x87 is there)"},
        {"foreign.lex", changed([](Bytes& b) { b[8] = 7; }), "saved from product 7, which Brennmark does not support"},
        {"huge.lex", Bytes(70000, 0x84), "larger than 65996 bytes"},
    };
    for (const Row& row : rows) {
        const std::string path = folder.file(row.name);
        test::writeFile(path, row.bytes);
        std::string error;
        EXPECT_FALSE(loadConfigFile(path, error)) << row.name;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    }

    test::writeFile(folder.file("good.lex"), good);
    std::string error;
    const auto loaded = loadConfigFile(folder.file("good.lex"), error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(loaded->system.values.size(), 24u);
    EXPECT_EQ(loaded->effects.size(), 3u);

    // Nothing but a regular file is read, and a FIFO without a writer does
    // not hold the reader.
    ASSERT_EQ(::mkfifo(folder.file("fifo.lex").c_str(), 0600), 0);
    const std::vector<std::pair<std::string, const char*>> others = {
        {folder.file("missing.lex"), "No such file or directory"},
        {folder.folder(), "not a regular file"},
        {folder.file("fifo.lex"), "not a regular file"}};
    for (const auto& [path, reason] : others) {
        test::FifoWatchdog watchdog(folder.file("fifo.lex"));
        std::string why;
        EXPECT_FALSE(loadConfigFile(path, why));
        EXPECT_FALSE(watchdog.stop()) << "the loader waited on " << path;
        EXPECT_NE(why.find("Cannot read " + path + ": " + reason), std::string::npos) << why;
    }
}

// A save writes over a regular file or to a new path, nothing else: a FIFO or a
// device the path names stays what it is.
TEST_F(ConfigFileWriterTest, OnlyARegularFileOrANewPathIsWritten)
{
    ASSERT_EQ(::mkfifo(folder.file("fifo.lex").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(folder.file("sub.lex").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(folder.file("nowhere/x.lex").c_str(), folder.file("dangling.lex").c_str()), 0);
    std::vector<std::string> paths = {folder.file("fifo.lex"), folder.file("sub.lex"), folder.file("dangling.lex")};
    // A device node of our own (the null device) where the system allows one;
    // a link to it is followed to it.
    const bool device = ::mknod(folder.file("null.lex").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    if (device) {
        ASSERT_EQ(::symlink(folder.file("null.lex").c_str(), folder.file("link.lex").c_str()), 0);
        paths.push_back(folder.file("null.lex"));
        paths.push_back(folder.file("link.lex"));
    }
    for (const std::string& path : paths) {
        ConfigFileWriter writer(path);
        const bool opened = writer.open();
        EXPECT_FALSE(opened) << path;
        if (opened) {
            writer.write(Bytes{1, 2, 3});
            writer.commit();
        }
    }
    struct stat st {};
    ASSERT_EQ(::lstat(folder.file("fifo.lex").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO is still a FIFO";
    if (device) {
        ASSERT_EQ(::lstat(folder.file("null.lex").c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device node is still a device node";
    }
    for (const std::string& name : folder.entries())
        EXPECT_NE(name[0], '.') << "no temporary file left: " << name;
}

} // namespace
} // namespace bm
