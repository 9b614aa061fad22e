// The Names page: names sent as typed with dynamic editing, on focus loss by
// its rules, or all at once in the unit's order; the two stored switches.
#include "page_rig.h"
#include "ui/names_page.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

namespace bm {

using test::Bytes;
using test::hex;

namespace {
constexpr std::uint8_t kSetInputName = 0x2E;
constexpr std::uint8_t kSetCustomName = 0x2C;
const char* const kUnitNames[8] = {"Tape", "Tuner", "CD", "", "TV", "LD", "DVD", "VCR"};
} // namespace

class NamesPageTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FakeUnitRig> rig;
    std::unique_ptr<CNamesPage> page;

    QLineEdit* input(int index) { return test::child<QLineEdit>(*page, QString("inputName%1").arg(index)); }
    QLineEdit* custom() { return test::child<QLineEdit>(*page, "customName"); }
    QPushButton* updateNames() { return test::child<QPushButton>(*page, "updateNames"); }
    void expectSent(const std::vector<Bytes>& expected) { QCOMPARE(hex(rig->takeSent()), hex(expected)); }
    static Bytes inputName(std::uint8_t index, const std::string& name)
    {
        return test::namePacket(kSetInputName, index, name);
    }
    static Bytes customName(std::uint8_t enabled, const std::string& name)
    {
        return test::namePacket(kSetCustomName, enabled, name);
    }

    void open(int dynamicEditing, int customEnabled = 0)
    {
        rig->settings.writeInt("Settings", "EnableDynamicNameEditing", dynamicEditing);
        rig->settings.writeInt("Settings", "EnableCustomName", customEnabled);
        page = std::make_unique<CNamesPage>(rig->context());
        test::showAndActivate(*page);
        page->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(page.get()));
    }
    // Moves the keyboard focus, as the user's click would (a Tab would also
    // select the whole text).
    void focus(QWidget* widget)
    {
        widget->setFocus(Qt::MouseFocusReason);
        QTRY_VERIFY(widget->hasFocus());
    }

private slots:
    void init()
    {
        rig = std::make_unique<test::FakeUnitRig>();
        for (std::uint8_t i = 0; i < 8; ++i)
            rig->reportInputName(i, kUnitNames[i]);
        rig->reportCustomName("Theatre");
    }
    void cleanup()
    {
        page.reset();
        rig.reset();
    }

    void showsTheNamesAndTheStoredSwitches()
    {
        open(1, 1);
        for (int i = 0; i < 8; ++i)
            QCOMPARE(input(i)->text(), QString(kUnitNames[i]));
        QCOMPARE(custom()->text(), QString("Theatre"));
        QVERIFY(test::child<QCheckBox>(*page, "enableCustomName")->isChecked());
        QVERIFY(test::child<QCheckBox>(*page, "enableDynamicEditing")->isChecked());
        QVERIFY(!updateNames()->isEnabled());

        // Labels beside their boxes: left column VCR..TV, right column Aux..Tape.
        const auto left = input(7)->mapTo(page.get(), QPoint(0, 0));
        QVERIFY(input(6)->mapTo(page.get(), QPoint(0, 0)).y() > left.y());
        QVERIFY(input(3)->mapTo(page.get(), QPoint(0, 0)).x() > left.x());
        QCOMPARE(input(3)->mapTo(page.get(), QPoint(0, 0)).y(), left.y());

        // Names changed on the unit show at the next activation; nothing is sent back.
        rig->reportInputName(5, "BluRay");
        page->onDeactivate();
        page->onActivate();
        QCOMPARE(input(5)->text(), QString("BluRay"));
        expectSent({});
    }

    void dynamicEditingSendsEveryKeystroke()
    {
        open(1);
        QTest::keyClicks(input(3), "AB");
        QTest::keyClicks(custom(), "2");
        expectSent({inputName(3, "A"), inputName(3, "AB"), customName(0, "Theatre2")});
        QCOMPARE(rig->model.status().inputName(3), std::string("AB"));

        // Leaving a box whose name has gone out already sends nothing more.
        focus(input(3));
        focus(input(4));
        expectSent({});
    }

    void focusLossRulesWithoutDynamicEditing()
    {
        open(0);
        QVERIFY(updateNames()->isEnabled());
        focus(input(2));
        QTest::keyClicks(input(2), "X");
        focus(input(4)); // an input name waits for "Update Names"
        expectSent({});

        focus(custom());
        QTest::keyClicks(custom(), "!");
        focus(input(0)); // the custom name goes when its box is left
        expectSent({customName(0, "Theatre!")});
        focus(custom());
        focus(input(0)); // unchanged since: nothing
        expectSent({});
    }

    void updateNamesSendsChangesInTheUnitsOrder()
    {
        open(0, 1);
        updateNames()->click();
        expectSent({}); // nothing changed

        for (int i = 0; i < 8; ++i) {
            input(i)->clear();
            QTest::keyClicks(input(i), QString("In%1").arg(i));
        }
        custom()->clear();
        QTest::keyClicks(custom(), "Den");
        QTest::mouseClick(updateNames(), Qt::LeftButton);
        std::vector<Bytes> expected{customName(1, "Den")};
        for (std::uint8_t i : {3, 2, 6, 0, 1, 4, 7, 5})
            expected.push_back(inputName(i, "In" + std::to_string(i)));
        expectSent(expected);
    }

    void boxesTakeNoMoreThanTheUnitHolds()
    {
        open(0);
        input(1)->clear();
        QTest::keyClicks(input(1), "ABCDEFGHIJ");
        QCOMPARE(input(1)->text(), QString("ABCDEFGH"));
        custom()->clear();
        QTest::keyClicks(custom(), "123456789012345678901234");
        QCOMPARE(custom()->text(), QString("12345678901234567890"));
        updateNames()->click();
        expectSent({customName(0, "12345678901234567890"), inputName(1, "ABCDEFGH")});
    }

    void enableCustomNameSendsTheStoredName()
    {
        open(0);
        QTest::keyClicks(custom(), "XY"); // typed but not sent: the switch ignores it
        test::click(*page, "enableCustomName");
        QCOMPARE(rig->settings.readInt("Settings", "EnableCustomName", -1), 1);
        rig->settings.setWritesFail(true);
        test::click(*page, "enableCustomName");
        QCOMPARE(rig->prompt.texts(),
                 std::vector<std::string>{"Failed to write ENABLE_CUSTOMNAME registry item!"});
        QCOMPARE(rig->settings.readInt("Settings", "EnableCustomName", -1), 1);
        expectSent({customName(1, "Theatre"), customName(0, "Theatre")});
    }

    void twoWordNamesStayWholeFromTheUnitToThePageAndBack()
    {
        // As the unit sends them, blank-padded; one fills its field with no NUL.
        rig->reportCustomName("Screening Room      ");
        rig->reportInputName(4, "SAT TV  ");
        rig->model.routePacket(framePacket(DC_RESP_INPUT_NAME, Bytes{6, 'M', 'Y', ' ', 'D', 'V', 'D', ' ', '2'}.data(), 9));
        open(0);
        QCOMPARE(custom()->text(), QString("Screening Room"));
        QCOMPARE(input(4)->text(), QString("SAT TV"));
        QCOMPARE(input(6)->text(), QString("MY DVD 2"));

        // The switch writes the whole name back.
        test::click(*page, "enableCustomName");
        expectSent({customName(1, "Screening Room")});

        // Nothing differs, so nothing goes out; a trailing blank is no change.
        updateNames()->click();
        expectSent({});
        QTest::keyClicks(input(4), " ");
        updateNames()->click();
        expectSent({});
    }

    void namesRestoredWithTheirPaddingLeaveRoomToType()
    {
        // A restore hands the file's names over as the unit padded them.
        rig->model.storeInputName(6, "DVD     ");
        rig->model.storeCustomName("Hall                ");
        open(1);
        QCOMPARE(input(6)->text(), QString("DVD"));
        QCOMPARE(custom()->text(), QString("Hall"));
        QTest::keyClicks(input(6), "2");
        QCOMPARE(input(6)->text(), QString("DVD2"));
        QTest::keyClick(input(6), Qt::Key_Backspace);
        expectSent({inputName(6, "DVD2"), inputName(6, "DVD")});
    }

    void switchingDynamicEditingOnSendsPendingEdits()
    {
        open(0);
        QTest::keyClicks(input(6), "2");
        test::click(*page, "enableDynamicEditing");
        QVERIFY(!updateNames()->isEnabled());
        QCOMPARE(rig->settings.readInt("Settings", "EnableDynamicNameEditing", -1), 1);
        expectSent({inputName(6, "DVD2")});

        rig->settings.setWritesFail(true);
        test::click(*page, "enableDynamicEditing");
        QVERIFY(updateNames()->isEnabled());
        QCOMPARE(rig->prompt.texts(),
                 std::vector<std::string>{"Failed to write ENABLE_DYNAMIC_NAME_EDITING registry item!"});
        QTest::keyClicks(input(6), "3"); // off again: typing sends nothing
        expectSent({});
    }
};

} // namespace bm

QTEST_MAIN(bm::NamesPageTest)
#include "names_page_test.moc"
