// The whole program against the simulated unit: values the unit changes by
// itself that no change message of a named parameter carries (front/back
// balance, the zone 2 record input, the stream after an input change) show
// on the pages, and the controls act from the unit's value, not a stale one.
#include "tests/app/app_rig.h"

#include "app/info_page.h"
#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "ui/control_sheet.h"
#include "ui/general_page.h"
#include "ui/zone2_page.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace bm {

using namespace test;

class ShownValuesTest : public QObject {
    Q_OBJECT

    static constexpr int kLimitMs = 15000;

    // Packets of one code the unit has read since the last clearReceived().
    static std::vector<Bytes> packetsWith(const sim::SimServer& unit, std::uint8_t code)
    {
        std::vector<Bytes> out;
        for (const Bytes& p : unit.receivedPackets())
            if (p.size() > 2 && p[2] == code)
                out.push_back(p);
        return out;
    }

    // Clicks a page's button once the unit's own change no longer holds our
    // sends off, with the unit's record of packets cleared first.
    static void clickWhenSendsGo(CMainFrame& frame, sim::SimServer& unit, QWidget* page, const char* name)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!frame.control()->state().SendSuppressed.load(), kLimitMs);
        unit.clearReceived();
        QTest::mouseClick(page->findChild<QPushButton*>(QString::fromLatin1(name)), Qt::LeftButton);
    }

    static QString text(QWidget* page, const char* name)
    {
        auto* box = page->findChild<QLineEdit*>(QString::fromLatin1(name));
        return box ? box->text() : QStringLiteral("(no %1)").arg(QString::fromLatin1(name));
    }

    // With the page's tab shown, `box` reads `before`; a console line changes
    // the unit, and the box comes to read `after` with no help from the user.
    static void seeUnitChange(CGeneralControlSheet& sheet, int tab, sim::SimServer& unit, const char* console,
                              const char* box, const char* before, const char* after)
    {
        sheet.setActiveIndex(tab);
        QWidget* page = sheet.activePage();
        QCOMPARE(text(page, box), QString::fromLatin1(before));
        QVERIFY(unit.command(console));
        QTRY_COMPARE_WITH_TIMEOUT(text(page, box), QString::fromLatin1(after), kLimitMs);
    }

private slots:
    void changesMadeAtTheUnitShowAndTheControlsStartFromThem()
    {
        sim::SimServer unit(fastSim());
        QVERIFY(unit.start());
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart, unit.devicePath()); // first start: downloads
        QCOMPARE(frame->create(), 0);
        CGeneralControlSheet* sheet = frame->sheet();
        QVERIFY(sheet);
        // Let the start-up's own traffic settle before the unit is touched.
        QTRY_VERIFY_WITH_TIMEOUT(!frame->control()->state().ResponseWindowOpen.load(), kLimitMs);

        // Front/back balance, changed on the unit's front panel.
        seeUnitChange(*sheet, 1, unit, "set FB_BALANCE 24", "frontBackValue", "+0", "+8");
        // "+" moves on from the unit's +8, not from a stale +0.
        clickWhenSendsGo(*frame, unit, frame->pages().general, "frontBackPlus");
        QTRY_COMPARE_WITH_TIMEOUT(packetsWith(unit, DC_CMD_SET_FRONT_BACK_BALANCE).size(), std::size_t(1),
                                  kLimitMs);
        QCOMPARE(packetsWith(unit, DC_CMD_SET_FRONT_BACK_BALANCE)[0][4], std::uint8_t(25));
        QTRY_COMPARE_WITH_TIMEOUT(unit.snapshot().sysStatus[8], std::uint8_t(25), kLimitMs);

        // The zone 2 source, chosen on the unit's remote.
        seeUnitChange(*sheet, 5, unit, "ir ZONE2_DVD", "currentInput", "CD", "DVD");
        QWidget* zone2 = frame->pages().zone2;
        // "Clear Input" names the source the unit really has.
        clickWhenSendsGo(*frame, unit, zone2, "clearInput");
        QTRY_COMPARE_WITH_TIMEOUT(packetsWith(unit, DC_CMD_CLEAR_REC_INPUT),
                                  (std::vector<Bytes>{{0xF1, 4, DC_CMD_CLEAR_REC_INPUT, 1, 6, 0xF2}}), kLimitMs);

        // A source key from the page: "Current Input" follows without "Update All".
        const std::uint8_t before = unit.snapshot().zone2Status[1];
        QTest::mouseClick(zone2->findChild<QPushButton*>(QStringLiteral("source7")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(unit.snapshot().zone2Status[1] != before, kLimitMs);
        const QString expected = QString::fromLatin1(RecordInputText(unit.snapshot().zone2Status[1]));
        QTRY_COMPARE_WITH_TIMEOUT(text(zone2, "currentInput"), expected, kLimitMs);

        // The stream on the Info page after the input changes at the unit.
        seeUnitChange(*sheet, 0, unit, "ir INPUT_TAPE", "stream", "AC3 5.1  48K", "Analog  44K");
        QCOMPARE(text(frame->pages().info, "input"), QStringLiteral("TAPE"));

        frame->close();
        QTRY_VERIFY(frame->isShutDown());
    }
};

} // namespace bm

QTEST_MAIN(bm::ShownValuesTest)
#include "shown_values_test.moc"
