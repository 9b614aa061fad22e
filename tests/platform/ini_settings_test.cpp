// The Qt-free INI store against QSettings itself: what either writes on the
// program's own keys the other reads back, both write the same bytes, both
// read hand-written files alike, keys only one side knows survive the other's
// write, and each waits on the other's lock file.
#include "platform/ini_settings.h"
#include "platform/qt_settings.h"
#include "platform/settings_keys.h"
#include "platform/user_settings.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QLockFile>
#include <QRect>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <climits>
#include <sys/stat.h>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

namespace bm {
namespace {

using namespace std::chrono_literals;

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void putFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// The values the program writes, on its own keys, with the texts that test
// the quoting and escapes: commas, semicolons, edge blanks, a leading '@',
// quotes, backslashes, control characters, Latin-1 letters.
std::vector<SettingsValue> programValues()
{
    std::vector<SettingsValue> v = {
        {keys::kRoot, keys::kLastVisited, std::string("/home/us\xE9r/my configs, old;1/")},
        {keys::kComm, keys::kCommPort, 2},
        {keys::kComm, keys::kDontShow, 1},
        {keys::kComm, keys::kForceDownload, 0},
        {keys::kComm, keys::kComDevice[0], std::string("/dev/ttyUSB0")},
        {keys::kComm, keys::kComDevice[1], std::string("tcp://127.0.0.1:4001")},
        {keys::kComm, keys::kComDevice[2], std::string("/dev/serial/by-id/usb-FTDI_a=b")},
        {keys::kComm, keys::kComDevice[3], std::string(" padded ")},
        {keys::kRoot, "Trailing, odd=key;", std::string("trailing ")},
        {keys::kSettings, keys::kEnableCustomName, 1},
        {keys::kSettings, keys::kPreviewPages, -7},
        {keys::kRecentFiles, "File1", std::string("@home/a.lex")},
        {keys::kRecentFiles, "File2", std::string("C:\\Users\\\"q\"\\a.lex")},
        {keys::kCacheUnitConfig, keys::kTimeStamp, std::string("99/03/09 18:34")},
        {keys::kCacheUnitConfig, keys::kDefinitionsComplete, std::string("99/03/09 18:34")},
        {keys::kCacheParamNames, "0x00", std::string("PROGRAM")},
        {keys::kCacheParamNames, "0x01", std::string("a\tb\x01" "c\x7F\xFF")},
        {keys::kCacheParamNames, "0x02", std::string("")},
        {keys::kCacheParamNames, "0x03", std::string("0042")},
        {keys::kCacheParamNames, "0x04", std::string("N\0" "1", 3)},
        {keys::kCacheParamMax, "0x00", INT_MAX},
        {keys::kCacheParamLast, "0x00", INT_MIN},
        {keys::kCacheEffectNames, "0x1f", std::string("THX Cinema")},
        {keys::kCacheEffectMaxParams, "0x1f", 3},
    };
    for (const keys::TimingKey& t : keys::kTimingKeys)
        v.push_back({keys::kComm, t.name, t.defaultValue});
    for (std::size_t i = 0; i < 9; ++i)
        v.push_back({keys::kCacheUnitConfig, keys::kUnitConfigFields[i], static_cast<int>(i) * 3});
    return v;
}

void expectReads(SettingsStore& store, const std::vector<SettingsValue>& values, const char* reader)
{
    for (const SettingsValue& v : values) {
        SCOPED_TRACE(std::string(reader) + ": [" + v.section + "] " + v.name);
        EXPECT_TRUE(store.contains(v.section, v.name));
        if (const int* i = std::get_if<int>(&v.value))
            EXPECT_EQ(store.readInt(v.section, v.name, 12345), *i);
        else
            EXPECT_EQ(store.readString(v.section, v.name, "<default>"), std::get<std::string>(v.value));
    }
}

class IniSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    static std::string local(const QString& p) { return p.toStdString(); }

    QTemporaryDir dir;
};

TEST_F(IniSettingsTest, EachReadsWhatTheOtherWroteAndBothWriteTheSameBytes)
{
    const std::vector<SettingsValue> values = programValues();
    // One value at a time and as one batch, from each side.
    for (const bool batch : {false, true}) {
        SCOPED_TRACE(batch ? "batch" : "one by one");
        const QString byQt = path(batch ? "qt-batch.conf" : "qt.conf");
        const QString byIni = path(batch ? "ini-batch.conf" : "ini.conf");
        {
            QSettingsStore qt(byQt);
            IniSettingsStore ini(local(byIni));
            if (batch) {
                ASSERT_TRUE(qt.writeBatch(values));
                ASSERT_TRUE(ini.writeBatch(values));
            } else {
                for (const SettingsValue& v : values) {
                    if (const int* i = std::get_if<int>(&v.value)) {
                        ASSERT_TRUE(qt.writeInt(v.section, v.name, *i));
                        ASSERT_TRUE(ini.writeInt(v.section, v.name, *i));
                    } else {
                        ASSERT_TRUE(qt.writeString(v.section, v.name, std::get<std::string>(v.value)));
                        ASSERT_TRUE(ini.writeString(v.section, v.name, std::get<std::string>(v.value)));
                    }
                }
            }
        }
        EXPECT_EQ(fileBytes(byIni), fileBytes(byQt));

        IniSettingsStore iniReadsQt(local(byQt));
        QSettingsStore qtReadsIni(byIni);
        expectReads(iniReadsQt, values, "INI store on QSettings' file");
        expectReads(qtReadsIni, values, "QSettings on the INI store's file");
    }
}

TEST_F(IniSettingsTest, HandWrittenFilesReadAlike)
{
    struct Probe {
        const char* section;
        const char* name;
    };
    struct Case {
        const char* what;
        QByteArray file;
        std::vector<Probe> probes;
    };
    const std::vector<Case> cases = {
        {"comments, blanks around '=', CRLF, a byte-order mark",
         "\xEF\xBB\xBF; saved by hand\r\n[Comm]\r\n  CommPort = 3  \r\n# note\r\nDontShow=1 ; trailing\r\n",
         {{"Comm", "CommPort"}, {"Comm", "DontShow"}, {"Comm", "# note"}}},
        {"[general] in any case, [%General], keys before any section",
         "LastVisited=/a/\n[GENERAL]\nx=1\n[%General]\ny=2\n[general]\nLastVisited=/b/\n",
         {{"", "LastVisited"}, {"", "x"}, {"General", "y"}, {"general", "y"}}},
        {"quotes, escapes, continuation lines",
         "[N]\na=\"x, y\"\nb=\\x41\\101\\t\\q!\nc=\"two\nlines\"\nd=one\\\ntwo\nd2=one\\\r\ntwo\ne=\\\"q\\\\\nf=\"  \"\ng=\"x \"  \n",
         {{"N", "a"}, {"N", "b"}, {"N", "c"}, {"N", "d"}, {"N", "d2"}, {"N", "e"}, {"N", "f"}, {"N", "g"}}},
        {"lists, typed forms, '@@', numbers QString::toInt refuses",
         "[T]\nl=1,2\nq=\"1\",2\ninv=@Invalid()\nba=@ByteArray(abc)\nat=@@x\nr=@Rect(1 2 3 4)\nb=true\n"
         "h=0x10\nbig=2147483648\nplus=+5\nneg=-0\nbl= \" 5\"\n",
         {{"T", "l"}, {"T", "q"}, {"T", "inv"}, {"T", "ba"}, {"T", "at"}, {"T", "r"}, {"T", "b"},
          {"T", "h"}, {"T", "big"}, {"T", "plus"}, {"T", "neg"}, {"T", "bl"}}},
        {"escaped keys and sections, nested groups, repeated keys",
         "[Recent%20File%20List]\nFile%31=a\n[Config]\nParams\\Names\\0x00=P\nParams\\Names\\0x00=Q\n"
         "[Config%5CUnitConfig]\nTimeStamp=t\n",
         {{"Recent File List", "File1"}, {"Config\\Params\\Names", "0x00"}, {"Config\\UnitConfig", "TimeStamp"},
          {"Config", "UnitConfig\\TimeStamp"}}},
        {"UTF-8 beyond Latin-1, bytes that are not UTF-8, lines without '='",
         "[U]\nn=caf\xC3\xA9 \xE2\x82\xAC\nbad=caf\xE9x\nno equals here\nk=1\n[broken\nafter=2\n",
         {{"U", "n"}, {"U", "bad"}, {"U", "k"}, {"broken", "after"}, {"U", "after"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString file = path("hand.conf");
        putFile(file, c.file);
        QSettingsStore qt(file);
        IniSettingsStore ini(local(file));
        for (const Probe& p : c.probes) {
            SCOPED_TRACE(std::string("[") + p.section + "] " + p.name);
            EXPECT_EQ(ini.contains(p.section, p.name), qt.contains(p.section, p.name));
            EXPECT_EQ(ini.readString(p.section, p.name, "<default>"), qt.readString(p.section, p.name, "<default>"));
            EXPECT_EQ(ini.readInt(p.section, p.name, -99), qt.readInt(p.section, p.name, -99));
        }
    }
}

TEST_F(IniSettingsTest, AWriteKeepsWhatTheOtherSideWroteAsQSettingsWouldRewriteIt)
{
    // Values of types the program's store never writes, set by a QSettings
    // user (a window geometry, a list, a switch, a fraction), and comments.
    const QString original = path("original.conf");
    {
        QSettings raw(original, QSettings::IniFormat);
        raw.setValue(QStringLiteral("Window/Geometry"), QByteArray("\x01\x02\xFF" "abc", 6));
        raw.setValue(QStringLiteral("Window/Tabs"), QStringList{QStringLiteral("Info"), QStringLiteral("a, b"), QString()});
        raw.setValue(QStringLiteral("Window/Maximised"), true);
        raw.setValue(QStringLiteral("Window/Scale"), 1.5);
        raw.setValue(QStringLiteral("Window/Frame"), QRect(1, 2, 3, 4));
        raw.setValue(QStringLiteral("Comm/CommPort"), 1);
    }
    QByteArray withComment = "; kept by hand\n" + fileBytes(original);
    putFile(original, withComment);

    struct Step {
        const char* what;
        std::vector<SettingsValue> values;
    };
    const std::vector<Step> steps = {
        {"a new section", {{"Comm\\Sub", "Deep", 4}}},
        {"a changed value", {{"Comm", "CommPort", 3}}},
        {"a new top-level value", {{"", "LastVisited", "/x/"}}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        const QString byIni = path("by-ini.conf");
        const QString byQt = path("by-qt.conf");
        QFile::remove(byIni);
        QFile::remove(byQt);
        ASSERT_TRUE(QFile::copy(original, byIni));
        ASSERT_TRUE(QFile::copy(original, byQt));
        ASSERT_TRUE(IniSettingsStore(local(byIni)).writeBatch(s.values));
        ASSERT_TRUE(QSettingsStore(byQt).writeBatch(s.values));
        EXPECT_EQ(fileBytes(byIni), fileBytes(byQt));

        QSettings raw(byIni, QSettings::IniFormat);
        EXPECT_EQ(raw.value(QStringLiteral("Window/Geometry")).toByteArray(), QByteArray("\x01\x02\xFF" "abc", 6));
        EXPECT_EQ(raw.value(QStringLiteral("Window/Tabs")).toStringList(),
                  (QStringList{QStringLiteral("Info"), QStringLiteral("a, b"), QString()}));
        EXPECT_TRUE(raw.value(QStringLiteral("Window/Maximised")).toBool());
        EXPECT_EQ(raw.value(QStringLiteral("Window/Scale")).toDouble(), 1.5);
        EXPECT_EQ(raw.value(QStringLiteral("Window/Frame")).toRect(), QRect(1, 2, 3, 4));
    }
}

TEST_F(IniSettingsTest, WritesFromBothSidesMergeAndAnUnchangedValueLeavesTheFileAlone)
{
    const QString file = path("shared.conf");
    IniSettingsStore ini(local(file));
    QSettingsStore qt(file);
    ASSERT_TRUE(ini.writeInt("Comm", "CommPort", 1));
    ASSERT_TRUE(qt.writeString("Comm", "Com1Device", "/dev/ttyUSB1"));
    ASSERT_TRUE(ini.writeString("", "LastVisited", "/home/"));
    ASSERT_TRUE(qt.writeInt("Settings", "PreviewPages", 2));
    IniSettingsStore fresh(local(file));
    EXPECT_EQ(fresh.readInt("Comm", "CommPort", 0), 1);
    EXPECT_EQ(fresh.readString("Comm", "Com1Device", ""), "/dev/ttyUSB1");
    EXPECT_EQ(fresh.readString("", "LastVisited", ""), "/home/");
    EXPECT_EQ(fresh.readInt("Settings", "PreviewPages", 0), 2);
    // The INI store sees a change made by the other side after it read.
    EXPECT_EQ(ini.readInt("Settings", "PreviewPages", 0), 2);

    // Same values again (an integer rewritten as its text too): the file is
    // not replaced; a changed value replaces it (the atomic replace makes a
    // new file).
    auto inode = [&] {
        struct stat st {};
        return ::stat(local(file).c_str(), &st) == 0 ? st.st_ino : ino_t(0);
    };
    const ino_t before = inode();
    EXPECT_TRUE(ini.writeInt("Comm", "CommPort", 1));
    EXPECT_TRUE(ini.writeString("Comm", "CommPort", "1"));
    EXPECT_TRUE(ini.writeBatch({{"", "LastVisited", std::string("/home/")}, {"Comm", "CommPort", 1}}));
    EXPECT_EQ(inode(), before);
    EXPECT_TRUE(ini.writeInt("Comm", "CommPort", 2));
    EXPECT_NE(inode(), before);
}

TEST_F(IniSettingsTest, AFileThatCannotBeWrittenFailsTheWriteAsWithQSettings)
{
    // A regular file where the folder should be.
    putFile(path("not-a-folder"), "x");
    IniSettingsStore blocked(local(path("not-a-folder/store.conf")));
    EXPECT_FALSE(blocked.writeInt("Comm", "CommPort", 1));
    EXPECT_FALSE(blocked.writeBatch({{"", "LastVisited", std::string("/x/")}}));
    EXPECT_EQ(blocked.readInt("Comm", "CommPort", 7), 7);
}

TEST_F(IniSettingsTest, EachSideWaitsOnTheOthersLockAndTakesOverOneLeftBehind)
{
    const QString file = path("locked.conf");
    {
        // The INI store's lock is one QLockFile honours, not one it takes as stale.
        IniFileLock ours;
        std::string reason;
        ASSERT_TRUE(ours.acquire(local(file), 100ms, reason)) << reason;
        QLockFile theirs(file + QStringLiteral(".lock"));
        EXPECT_FALSE(theirs.tryLock(50));
        IniFileLock second;
        EXPECT_FALSE(second.acquire(local(file), 50ms, reason));
    }
    {
        QLockFile theirs(file + QStringLiteral(".lock"));
        ASSERT_TRUE(theirs.tryLock(100));
        IniFileLock ours;
        std::string reason;
        EXPECT_FALSE(ours.acquire(local(file), 50ms, reason));
        theirs.unlock();
        EXPECT_TRUE(ours.acquire(local(file), 50ms, reason)) << reason;
    }
    // A lock whose process is gone is taken over at once.
    putFile(file + QStringLiteral(".lock"), "999999999\nbrennmark\n\n");
    IniSettingsStore ini(local(file));
    EXPECT_TRUE(ini.writeInt("Comm", "CommPort", 1));
    EXPECT_FALSE(QFile::exists(file + QStringLiteral(".lock")));
}

TEST_F(IniSettingsTest, TheUserStoreIsThePanelsFileUnderXdgConfigHome)
{
    const std::string saved = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    const bool had = std::getenv("XDG_CONFIG_HOME") != nullptr;
    ::setenv("XDG_CONFIG_HOME", local(dir.path()).c_str(), 1);
    ASSERT_TRUE(openUserSettings()->writeInt("Comm", "CommPort", 3));
    ASSERT_TRUE(openSimulatedUnitSettings()->writeInt("Comm", "CommPort", 1));
    QSettingsStore panel; // the panel's own store, in its native place
    EXPECT_EQ(panel.readInt("Comm", "CommPort", 0), 3);
    EXPECT_EQ(QSettingsStore(path("Tollvane/Brennmark-simulated.conf")).readInt("Comm", "CommPort", 0), 1);
    if (had)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace bm
