// QSettingsStore against real INI files in a temporary folder: values survive
// a reopen with their types, sections nest as groups, the default store
// follows XDG_CONFIG_HOME, and a write that cannot land says so.
#include "platform/qt_settings.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <climits>
#include <functional>
#include <sys/stat.h>
#include <cstdlib>
#include <string>
#include <thread>

namespace bm {
namespace {

class QtSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString iniPath() const { return dir.filePath(QStringLiteral("store.ini")); }

    QTemporaryDir dir;
};

TEST_F(QtSettingsTest, ValuesReadBackIdenticallyInTheSameAndInANewStore)
{
    const std::string latin1Name = std::string("Caf") + char(0xE9) + " " + char(0xFF);
    {
        QSettingsStore store(iniPath());
        EXPECT_TRUE(store.writeInt("Comm", "CommPort", 2));
        EXPECT_TRUE(store.writeInt("Comm", "Negative", -7));
        EXPECT_TRUE(store.writeInt("Comm", "Big", INT_MAX));
        EXPECT_TRUE(store.writeInt("Comm", "Small", INT_MIN));
        EXPECT_TRUE(store.writeString("Config\\UnitConfig", "TimeStamp", "99/03/09 18:34"));
        EXPECT_TRUE(store.writeString("Config\\Params\\Names", "0x00", "PROGRAM"));
        EXPECT_TRUE(store.writeInt("Config\\Params\\MaxValues", "0x00", 31));
        EXPECT_TRUE(store.writeString("Names", "Numeric", "0042"));
        EXPECT_TRUE(store.writeString("Names", "Comma", "a, b; c=d"));
        EXPECT_TRUE(store.writeString("Names", "At", "@Variant(x)"));
        EXPECT_TRUE(store.writeString("Names", "Blanks", "  padded  "));
        EXPECT_TRUE(store.writeString("Names", "Empty", ""));
        EXPECT_TRUE(store.writeString("Names", "Latin1", latin1Name));
        EXPECT_TRUE(store.writeString("", "LastVisited", "/home/user/configs/"));
    }

    QSettingsStore first(iniPath());
    QSettingsStore second(iniPath());
    for (QSettingsStore* store : {&first, &second}) {
        EXPECT_EQ(store->readInt("Comm", "CommPort", 256), 2);
        EXPECT_EQ(store->readInt("Comm", "Negative", 0), -7);
        EXPECT_EQ(store->readInt("Comm", "Big", 0), INT_MAX);
        EXPECT_EQ(store->readInt("Comm", "Small", 0), INT_MIN);
        EXPECT_EQ(store->readString("Config\\UnitConfig", "TimeStamp", ""), "99/03/09 18:34");
        EXPECT_EQ(store->readString("Config\\Params\\Names", "0x00", ""), "PROGRAM");
        EXPECT_EQ(store->readInt("Config\\Params\\MaxValues", "0x00", 256), 31);
        EXPECT_EQ(store->readString("Names", "Numeric", ""), "0042");
        EXPECT_EQ(store->readString("Names", "Comma", ""), "a, b; c=d");
        EXPECT_EQ(store->readString("Names", "At", ""), "@Variant(x)");
        EXPECT_EQ(store->readString("Names", "Blanks", ""), "  padded  ");
        EXPECT_EQ(store->readString("Names", "Empty", "default"), "");
        EXPECT_TRUE(store->contains("Names", "Empty"));
        EXPECT_EQ(store->readString("Names", "Latin1", ""), latin1Name);
        EXPECT_EQ(store->readString("", "LastVisited", "x"), "/home/user/configs/");
    }
}

TEST_F(QtSettingsTest, AbsentAndUnreadableValuesGiveTheDefault)
{
    QSettingsStore store(iniPath());
    EXPECT_EQ(store.readInt("Comm", "CommPort", 256), 256);
    EXPECT_EQ(store.readString("", "LastVisited", ""), "");
    EXPECT_EQ(store.readString("Config\\Effects\\Names", "0x1f", "none"), "none");
    EXPECT_FALSE(store.contains("Comm", "CommPort"));

    ASSERT_TRUE(store.writeString("Names", "Word", "Tape"));
    EXPECT_EQ(store.readInt("Names", "Word", 5), 5);
    // Same name in another section is another value.
    EXPECT_EQ(store.readString("Other", "Word", "-"), "-");
}

TEST_F(QtSettingsTest, SectionsNestOneGroupPerLevelAndTheEmptySectionIsTheRoot)
{
    {
        QSettingsStore store(iniPath());
        ASSERT_TRUE(store.writeInt("Config\\Params\\MaxValues", "0x05", 24));
        ASSERT_TRUE(store.writeString("", "LastVisited", "/tmp/"));
    }
    QSettings raw(iniPath(), QSettings::IniFormat);
    EXPECT_TRUE(raw.childKeys().contains(QStringLiteral("LastVisited")));
    EXPECT_EQ(raw.childGroups(), QStringList{QStringLiteral("Config")});
    raw.beginGroup(QStringLiteral("Config"));
    EXPECT_EQ(raw.childGroups(), QStringList{QStringLiteral("Params")});
    raw.beginGroup(QStringLiteral("Params"));
    EXPECT_EQ(raw.childGroups(), QStringList{QStringLiteral("MaxValues")});
    raw.beginGroup(QStringLiteral("MaxValues"));
    EXPECT_EQ(raw.value(QStringLiteral("0x05")).toInt(), 24);
}

TEST_F(QtSettingsTest, DefaultStoreLivesUnderXdgConfigHome)
{
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const bool hadValue = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    const QString home = dir.filePath(QStringLiteral("xdg"));
    ASSERT_TRUE(QDir().mkpath(home));
    qputenv("XDG_CONFIG_HOME", home.toLocal8Bit());
    {
        QSettingsStore store;
        EXPECT_TRUE(store.writeInt("Comm", "DontShow", 1));
        EXPECT_EQ(QFileInfo(store.location()).absoluteFilePath(),
                  QFileInfo(home + QStringLiteral("/Tollvane/Brennmark.conf")).absoluteFilePath());
    }
    EXPECT_TRUE(QFile::exists(home + QStringLiteral("/Tollvane/Brennmark.conf")));
    QSettingsStore again;
    EXPECT_EQ(again.readInt("Comm", "DontShow", 0), 1);

    if (hadValue)
        qputenv("XDG_CONFIG_HOME", saved);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

TEST_F(QtSettingsTest, WriteToAnUnwritableLocationReportsFailure)
{
    // A regular file where the folder should be: no folder can be made there,
    // whatever the user's rights.
    const QString blocker = dir.filePath(QStringLiteral("not-a-folder"));
    {
        QFile f(blocker);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    QSettingsStore store(blocker + QStringLiteral("/store.ini"));
    EXPECT_FALSE(store.writeInt("Comm", "CommPort", 1));
    EXPECT_FALSE(store.writeString("", "LastVisited", "/tmp/"));
}

// The file as the file system sees it: its inode and last change, to the nanosecond.
struct FileStamp {
    ino_t inode = 0;
    long long changed = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const QString& path)
{
    struct stat st {};
    if (::stat(path.toLocal8Bit().constData(), &st) != 0)
        return {};
    return {st.st_ino, static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

TEST_F(QtSettingsTest, TheFileIsWrittenOnlyWhenAValueChanges)
{
    const std::vector<SettingsValue> batch = {
        {"Comm", "SaveConfigWaitCount", 25}, {"Comm", "WritePacketDoCharDelay", 1},
        {"Config\\UnitConfig", "TimeStamp", std::string("99/03/09 18:34")}};
    {
        QSettingsStore store(iniPath());
        ASSERT_TRUE(store.writeBatch(batch));
        ASSERT_TRUE(store.writeInt("Comm", "CommPort", 1));
    }
    const FileStamp written = stampOf(iniPath());
    ASSERT_NE(written.inode, 0u);

    // Rows: what a run writes; whether the file must change.
    struct Row {
        const char* what;
        std::function<bool(QSettingsStore&)> write;
        bool changes;
    };
    const std::vector<Row> rows = {
        {"the same batch", [&](QSettingsStore& s) { return s.writeBatch(batch); }, false},
        {"the same integer", [](QSettingsStore& s) { return s.writeInt("Comm", "CommPort", 1); }, false},
        {"the same text", [](QSettingsStore& s) { return s.writeString("Config\\UnitConfig", "TimeStamp", "99/03/09 18:34"); }, false},
        {"an integer as the text it is stored as", [](QSettingsStore& s) { return s.writeString("Comm", "CommPort", "1"); }, false},
        {"an empty batch", [](QSettingsStore& s) { return s.writeBatch({}); }, false},
        {"a changed integer", [](QSettingsStore& s) { return s.writeInt("Comm", "CommPort", 2); }, true},
        {"a new value", [](QSettingsStore& s) { return s.writeString("Names", "New", ""); }, true},
        {"a batch with one change", [&](QSettingsStore& s) {
             auto changed = batch;
             changed[1].value = 0;
             return s.writeBatch(changed);
         }, true},
    };
    FileStamp before = written;
    for (const Row& row : rows) {
        {
            QSettingsStore store(iniPath());
            EXPECT_TRUE(row.write(store)) << row.what;
        }
        const FileStamp after = stampOf(iniPath());
        EXPECT_EQ(after != before, row.changes) << row.what;
        before = after;
    }
    QSettingsStore reopened(iniPath());
    EXPECT_EQ(reopened.readInt("Comm", "CommPort", 0), 2);
    EXPECT_EQ(reopened.readInt("Comm", "WritePacketDoCharDelay", 9), 0);
    EXPECT_TRUE(reopened.contains("Names", "New"));
}

TEST_F(QtSettingsTest, ReceiverWritesWhileTheInterfaceReads)
{
    QSettingsStore store(iniPath());
    std::thread receiver([&] {
        for (int id = 0; id < 40; ++id) {
            char key[8];
            std::snprintf(key, sizeof key, "0x%02x", id);
            store.writeInt("Config\\Params\\MaxValues", key, id);
        }
    });
    // Every read sees the value either absent or whole.
    for (int i = 0; i < 200; ++i) {
        const int v = store.readInt("Config\\Params\\MaxValues", "0x27", -1);
        ASSERT_TRUE(v == -1 || v == 39) << v;
    }
    receiver.join();
    EXPECT_EQ(store.readInt("Config\\Params\\MaxValues", "0x27", -1), 39);
}

} // namespace
} // namespace bm
