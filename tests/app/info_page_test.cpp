// The Info page over the real model and link on a fake port: its seven fields
// with their formats and name tables, the packets of activation, deactivation
// and its buttons, and the two confirmations before a factory reset.
#include "app/comm_dialogs.h"
#include "app/info_page.h"
#include "tests/app/app_rig.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cstring>

using namespace bm;
using namespace bm::test;

namespace {

struct InfoRig {
    FakeUnitRig unit;
    PlayedRunner runner;
    CInfoPage page{unit.context(), InfoPageServices{runner, unit.link.get(), {}, {}, {}, {}, {}}};

    QString field(const char* name) const { return page.findChild<QLineEdit*>(QString::fromLatin1(name))->text(); }
    void click(const char* name) { page.findChild<QPushButton*>(QString::fromLatin1(name))->click(); }

    void setConfig(std::uint8_t product, std::uint8_t type, std::uint8_t level, std::uint8_t major,
                   std::uint8_t minor, const char* stamp)
    {
        UnitConfig c;
        c.ProductId = product;
        c.SoftwareType = type;
        c.SoftwareLevel = level;
        c.SoftwareMajorRev = major;
        c.SoftwareMinorRev = minor;
        std::strncpy(c.TimeStamp.data(), stamp, 16);
        unit.model.setUnitConfig(c);
    }
    void setStatus(std::uint8_t input, std::uint8_t effect, std::uint8_t rate, std::uint8_t format)
    {
        unit.model.routePacket(framePacket(DC_RESP_SYS_STATUS, {40, input, effect, rate, format, 0, 0, 16, 16}));
    }
    void setDisplay(const std::string& line1, const std::string& line2)
    {
        std::uint8_t data[42] = {};
        std::memcpy(data, line1.data(), std::min<std::size_t>(line1.size(), 21));
        std::memcpy(data + 21, line2.data(), std::min<std::size_t>(line2.size(), 21));
        unit.model.storeFrontPanel(data, sizeof data);
    }
    void defineEffect(std::uint8_t id, const std::string& name)
    {
        Bytes data{id, 5};
        data.insert(data.end(), name.begin(), name.end());
        data.push_back(0);
        unit.model.routePacket(framePacket(DC_RESP_EFFECT_DEF, data.data(), data.size()));
    }
};

} // namespace

class InfoPageTest : public QObject {
    Q_OBJECT
private slots:
    void fieldsFollowTheNameTables_data()
    {
        QTest::addColumn<int>("product");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<QString>("stamp");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("rate");
        QTest::addColumn<QString>("productLine");
        QTest::addColumn<QString>("romLine");
        QTest::addColumn<QString>("streamLine");

        QTest::newRow("DE-1 DTS, short stamp, no stream")
            << 2 << 3 << 0 << 1 << 5 << "99/03/09 18:34" << 0 << 0 << "DE-1  DTS"
            << "1.05 (Released)  99/03/09 18:34" << "  ";
        QTest::newRow("ZA-2 THX beta, 16-character stamp cut to 15")
            << 1 << 1 << 3 << 2 << 31 << "2001/12/24 23:59" << 6 << 2 << "ZA-2  THX"
            << "2.31 (Beta) 2001/12/24 23:5" << "AC3 5.1  48K";
        QTest::newRow("unknown model and values beyond the tables")
            << 0 << 9 << 6 << 0 << 0 << "" << 8 << 5 << "NOT SUPPORTED BY BRENNMARK         UNKNOWN"
            << "0.00 (UNKNOWN)                " << "*New Format*  *NEW Rate*";
        QTest::newRow("product 3 is not supported either")
            << 3 << 5 << 5 << 9 << 99 << "x" << 3 << 4 << "NOT SUPPORTED BY BRENNMARK         BOOTROM"
            << "9.99 (Unsupported)               x" << "Analog  96K";
    }
    void fieldsFollowTheNameTables()
    {
        QFETCH(int, product);
        QFETCH(int, type);
        QFETCH(int, level);
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(QString, stamp);
        QFETCH(int, format);
        QFETCH(int, rate);
        InfoRig rig;
        rig.setConfig(product, type, level, major, minor, qPrintable(stamp));
        rig.setStatus(8, 32, rate, format);
        rig.page.RefreshInfoPage();
        QTEST(rig.field("product"), "productLine");
        QTEST(rig.field("romCode"), "romLine");
        QTEST(rig.field("stream"), "streamLine");
    }

    void activationShowsTheUnitAndOffClearsWhatItPlays()
    {
        InfoRig rig;
        rig.setConfig(2, 4, 0, 2, 14, "99/03/09 18:34");
        rig.defineEffect(3, "Logic 7");
        rig.unit.reportInputName(6, "DVD");
        rig.setStatus(6, 3, 2, 1);
        rig.setDisplay("DVD        VOL -35dB", "Logic 7      AC3");

        // Nothing shows before the page has been active once.
        rig.page.refresh();
        QCOMPARE(rig.field("product"), QString());

        rig.page.onActivate();
        QCOMPARE(rig.unit.takeSent(), (std::vector<Bytes>{packet(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8})}));
        QCOMPARE(rig.field("product"), QStringLiteral("DE-1  COMPLETE"));
        QCOMPARE(rig.field("effect"), QStringLiteral("Logic 7"));
        QCOMPARE(rig.field("input"), QStringLiteral("DVD"));
        QCOMPARE(rig.field("stream"), QStringLiteral("AC3  48K"));
        QCOMPARE(rig.field("display1"), QStringLiteral("DVD        VOL -35dB"));
        QCOMPARE(rig.field("display2"), QStringLiteral("Logic 7      AC3"));

        rig.click("on");
        QCOMPARE(rig.unit.takeSent(), (std::vector<Bytes>{irKey(IR_ON)}));

        rig.click("off");
        QCOMPARE(rig.unit.takeSent(), (std::vector<Bytes>{irKey(IR_OFF)}));
        for (const char* f : {"effect", "input", "display1", "display2"})
            QVERIFY2(rig.field(f).isEmpty(), f);
        QCOMPARE(rig.field("stream"), QStringLiteral("  "));
        QCOMPARE(rig.field("product"), QStringLiteral("DE-1  COMPLETE")); // what the unit is stays

        rig.page.onDeactivate();
        QCOMPARE(rig.unit.takeSent(), (std::vector<Bytes>{packet(DC_CMD_SET_FPD_CTRL, {0x00, 0x00, 0x00, 0x32})}));
    }

    void updateAllStartsASweep()
    {
        InfoRig rig;
        rig.page.onActivate();
        rig.unit.takeSent();
        rig.click("updateAll");
        QVERIFY(rig.unit.link->state().StatusSweepActive.load());
        QCOMPARE(rig.unit.takeSent(), (std::vector<Bytes>{packet(DC_CMD_GET_SYS_STATUS)}));
    }

    void resetNeedsTwoConfirmations_data()
    {
        QTest::addColumn<QList<int>>("answers"); // 1 Ok, 0 Cancel
        QTest::addColumn<int>("asked");
        QTest::addColumn<bool>("sent");
        QTest::newRow("cancel the first") << QList<int>{0} << 1 << false;
        QTest::newRow("cancel the second") << QList<int>{1, 0} << 2 << false;
        QTest::newRow("confirm both") << QList<int>{1, 1} << 2 << true;
    }
    void resetNeedsTwoConfirmations()
    {
        QFETCH(QList<int>, answers);
        QFETCH(int, asked);
        QFETCH(bool, sent);
        InfoRig rig;
        std::vector<PromptAnswer> script;
        for (int a : answers)
            script.push_back(a ? PromptAnswer::Ok : PromptAnswer::Cancel);
        rig.unit.prompt.scriptAnswers(script);
        const std::uint32_t before = rig.unit.commandsSent();

        rig.click("resetConfig");

        const std::vector<std::string> texts = rig.unit.prompt.texts();
        QCOMPARE(int(texts.size()), asked);
        QCOMPARE(texts[0], std::string("Do you really wish to Reset the Ridaziv's configuration to factory defaults?"));
        if (asked > 1)
            QCOMPARE(texts[1], std::string("Are you absolutely sure?"));
        if (sent)
            QCOMPARE(rig.unit.takeSent(), (std::vector<Bytes>{packet(DC_CMD_RESTORE_DEFAULTS)}));
        else
            QCOMPARE(rig.unit.commandsSent(), before);
    }

    void commConfigStoresForTheNextStartOnly()
    {
        InfoRig rig;
        rig.unit.settings.writeInt(keys::kComm, keys::kCommPort, 1);
        QString shown;
        rig.runner.script = [&](QDialog& dialog) {
            if (dialog.windowTitle() == QStringLiteral("About"))
                return int(QDialog::Accepted);
            auto* port = dialog.findChild<QComboBox*>(QStringLiteral("port"));
            shown = port->currentText();
            port->setCurrentIndex(3);
            dialog.accept();
            return dialog.result();
        };
        rig.click("commConfig");
        QCOMPARE(shown, QStringLiteral("COM2"));
        QCOMPARE(rig.unit.settings.readInt(keys::kComm, keys::kCommPort, -7), 3);
        QCOMPARE(rig.unit.settings.readInt(keys::kComm, keys::kDontShow, -7), 0);
        QCOMPARE(rig.unit.link->portNumber(), 1); // the running link keeps its port

        rig.click("about");
        QCOMPARE(rig.runner.titles, (QStringList{"Brennmark Comm Config", "About"}));
    }
};

QTEST_MAIN(InfoPageTest)
#include "info_page_test.moc"
