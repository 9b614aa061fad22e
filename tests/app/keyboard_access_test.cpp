// The whole control sheet against the simulated unit, worked by keyboard alone:
// every page is reached with Ctrl+Tab, every control on it with Tab (and the
// arrow keys inside a radio group), each has its own accessible name saying
// what it sets and a tool tip, each captioned button, check box and group
// carries a mnemonic of its own, and General's tab order follows its layout.
// The sheet's least size fits a 1366x768 screen at a scale factor of 1.5.
#include "app/comm_dialogs.h"
#include "app/small_dialogs.h"
#include "link/quor_control.h"
#include "tests/app/app_rig.h"
#include "ui/control_sheet.h"

#include <QAbstractButton>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QSlider>
#include <QTabWidget>
#include <QTest>

using namespace bm;
using namespace bm::test;

namespace {

struct RunningFrame {
    sim::SimServer unit{fastSim()};
    FrameParts parts;
    std::unique_ptr<CMainFrame> frame;

    bool start()
    {
        if (!unit.start())
            return false;
        frame = makeFrame(parts, [](InMemorySettings& s) { quietStart(s); }, unit.devicePath());
        return frame->create() == 0 && frame->sheet() != nullptr;
    }
};

// The controls a user works: what takes the keyboard's focus on a page.
bool isControl(const QWidget* w)
{
    // A radio button's group keeps Tab for one of them; the rest take the arrows.
    const bool focusable = qobject_cast<const QRadioButton*>(w) ? w->focusPolicy() != Qt::NoFocus
                                                               : bool(w->focusPolicy() & Qt::TabFocus);
    return focusable && w->isVisibleTo(w->window()) &&
           (qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QSlider*>(w) ||
            qobject_cast<const QLineEdit*>(w));
}

QString nameOf(const QWidget* w)
{
    return w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName();
}

// The mnemonic letter of a caption ("&Mute" -> 'm'), or 0.
QChar mnemonicOf(const QString& text)
{
    for (int i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (text[i + 1] != QLatin1Char('&'))
                return text[i + 1].toLower();
            ++i;
        }
    }
    return {};
}

// Where `window`'s worded captions (buttons but radio buttons, groups, labels
// of a focusable field) miss a mnemonic or share one beyond `shared` times;
// empty when none. "-" and "+" have none: the slider beside them takes the arrows.
QString mnemonicProblem(QWidget& window, int shared)
{
    QSet<QChar> letters;
    QString problem;
    auto check = [&](const QString& text, const QString& who) {
        if (!problem.isEmpty() || !text.contains(QRegularExpression(QStringLiteral("[A-Za-z0-9]"))))
            return;
        const QChar letter = mnemonicOf(text);
        if (letter.isNull())
            problem = QStringLiteral("%1 \"%2\" has no mnemonic").arg(who, text);
        else if (letters.contains(letter) && --shared < 0)
            problem = QStringLiteral("%1 \"%2\": mnemonic %3 used twice").arg(who, text, letter);
        letters.insert(letter);
    };
    // Radio buttons are reached through their group's mnemonic and the arrows.
    for (QAbstractButton* b : window.findChildren<QAbstractButton*>())
        if (!qobject_cast<QRadioButton*>(b))
            check(b->text(), nameOf(b));
    for (QGroupBox* g : window.findChildren<QGroupBox*>())
        check(g->title(), QStringLiteral("group"));
    for (QLabel* l : window.findChildren<QLabel*>())
        if (l->buddy() && (l->buddy()->focusPolicy() & Qt::TabFocus))
            check(l->text(), QStringLiteral("label"));
    return problem;
}

// Tab from the tab bar round the window once; the widgets focused on the way.
QList<QWidget*> tabWalk(QWidget& window, QWidget& start)
{
    QList<QWidget*> seen;
    start.setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
    for (int i = 0; i < 300; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        if (!now || now == &start || seen.contains(now))
            break;
        if (window.isAncestorOf(now))
            seen << now;
    }
    return seen;
}

// Arrow keys inside the radio groups the walk entered.
void addRadioSiblings(QList<QWidget*>& seen)
{
    const QList<QWidget*> entered = seen;
    for (QWidget* w : entered) {
        auto* radio = qobject_cast<QRadioButton*>(w);
        if (!radio)
            continue;
        radio->setFocus(Qt::TabFocusReason);
        for (int i = 0; i < 8; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
            QWidget* now = QApplication::focusWidget();
            if (!seen.contains(now))
                seen << now;
        }
    }
}

} // namespace

class KeyboardAccessTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(frame_.start());
        sheet_ = frame_.frame->sheet();
        sheet_->show();
        QVERIFY(QTest::qWaitForWindowActive(sheet_) || QTest::qWaitForWindowExposed(sheet_));
    }

    void everyPageByKeyboard_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("leastControls"); // at least this many focusable controls

        QTest::newRow("info") << 0 << "Info" << 9;
        QTest::newRow("general") << 1 << "General" << 34;
        QTest::newRow("speaker config") << 2 << "Speaker Config" << 25;
        QTest::newRow("output levels") << 3 << "Output Levels" << 24;
        QTest::newRow("equalization") << 4 << "Equalization" << 10;
        QTest::newRow("zone 2") << 5 << "Zone 2" << 17;
        QTest::newRow("names") << 6 << "Names" << 12;
    }
    void everyPageByKeyboard()
    {
        QFETCH(int, index);
        QFETCH(QString, caption);
        QFETCH(int, leastControls);
        auto* tabs = sheet_->findChild<QTabWidget*>();
        QVERIFY(tabs);
        // Ctrl+Tab from the first page, as many times as the page's index.
        sheet_->setActiveIndex(0);
        tabs->tabBar()->setFocus(Qt::TabFocusReason);
        for (int i = 0; i < index; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(sheet_->activePage()->caption(), caption);
        QWidget* page = sheet_->activePage();

        QList<QWidget*> reached = tabWalk(*sheet_, *tabs->tabBar());
        addRadioSiblings(reached);
        // The arrows chose speakers, which switches "Update" on: walk again.
        reached += tabWalk(*sheet_, *tabs->tabBar());
        QList<QWidget*> controls;
        for (QWidget* w : page->findChildren<QWidget*>())
            if (isControl(w) && w->isEnabled())
                controls << w;
        QVERIFY2(controls.size() >= leastControls, qPrintable(QString::number(controls.size())));
        QSet<QString> names;
        for (QWidget* w : controls) {
            QVERIFY2(reached.contains(w), qPrintable(nameOf(w) + " is not reached by Tab"));
            const QString name = w->accessibleName();
            QVERIFY2(!name.isEmpty(), qPrintable(nameOf(w) + " has no accessible name"));
            QVERIFY2(!names.contains(name), qPrintable(nameOf(w) + ": accessible name used twice: " + name));
            names.insert(name);
            QVERIFY2(!w->toolTip().isEmpty(), qPrintable(nameOf(w) + " has no tool tip"));
        }
        // Mnemonics: every worded caption of a button, labelled field or group
        // has one, and no two on the page share a letter, but on General: its
        // 30 captions with the simulated unit's input names hold 26 letters
        // and digits, of which "96K Ports" alone has two; at most 25 can be
        // told apart, so five share.
        int shared = caption == QStringLiteral("General") ? 5 : 0;
        const QString problem = mnemonicProblem(*page, shared);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        // Groups have names of their own.
        QSet<QString> groups;
        for (QGroupBox* g : page->findChildren<QGroupBox*>()) {
            const QString name = g->accessibleName().isEmpty() ? g->title() : g->accessibleName();
            QVERIFY2(!groups.contains(name), qPrintable("two groups named " + name));
            groups.insert(name);
        }
    }

    void generalTabOrderFollowsTheLayout()
    {
        sheet_->setActiveIndex(1);
        auto* tabs = sheet_->findChild<QTabWidget*>();
        QStringList order;
        for (QWidget* w : tabWalk(*sheet_, *tabs->tabBar()))
            if (sheet_->activePage()->isAncestorOf(w))
                order << w->objectName();
        QStringList wanted{"volumeSlider", "mute", "volumeMinus", "volumePlus",
                           "frontBackSlider", "frontBackMinus", "frontBackPlus"};
        for (int input : {7, 6, 5, 4, 3, 2, 1, 0})
            wanted << QStringLiteral("input%1").arg(input);
        for (int effect = 0; effect < 16; ++effect)
            wanted << QStringLiteral("effect%1").arg(effect);
        wanted << "leftRightMinus" << "leftRightPlus" << "leftRightSlider";
        QCOMPARE(order, wanted);
    }

    void fitsASmallScreenAtScaleOneAndAHalf()
    {
        const QSize least = sheet_->minimumSizeHint().expandedTo(sheet_->minimumSize());
        // 1366x768 at 1.5 is 910x512; a title bar and a panel take about 80.
        QVERIFY2(least.width() <= 900 && least.height() <= 430,
                 qPrintable(QString("%1x%2").arg(least.width()).arg(least.height())));
    }

    // The dialogs the Info page opens: a mnemonic of its own on every worded
    // caption, and Escape closes them.
    void dialogsByKeyboard()
    {
        CommConfigValues values;
        std::vector<std::unique_ptr<QDialog>> dialogs;
        dialogs.emplace_back(new CCommConfigDlg(values, frame_.frame->settings(), frame_.frame->prompt(),
                                                *frame_.parts.runner, frame_.frame->control()));
        dialogs.emplace_back(new CAdvancedCommDlg(frame_.frame->settings(), frame_.frame->prompt(),
                                                  frame_.frame->control()));
        dialogs.emplace_back(new CAboutDlg(AboutFacts{}));
        for (auto& dialog : dialogs) {
            const QString problem = mnemonicProblem(*dialog, 0);
            QVERIFY2(problem.isEmpty(), qPrintable(dialog->windowTitle() + ": " + problem));
            dialog->show();
            QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
            QVERIFY2(!dialog->isVisible(), qPrintable(dialog->windowTitle()));
        }
    }

    // The program's keys, each row a key pressed where it acts and what it
    // must do: F1 opens the help on the focused control, Escape closes it,
    // Ctrl+S and Ctrl+O on Info open the save and restore file dialogs.
    void programKeys_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("expect");
        QTest::newRow("F1") << 1 << "volumeSlider" << int(Qt::Key_F1) << 0 << "help:Master volume";
        QTest::newRow("Ctrl+S") << 0 << "on" << int(Qt::Key_S) << int(Qt::ControlModifier) << "file:Save";
        QTest::newRow("Ctrl+O") << 0 << "on" << int(Qt::Key_O) << int(Qt::ControlModifier) << "file:Restore";
    }
    void programKeys()
    {
        sheet_->activateWindow(); // the help window of the row before had it
        QVERIFY(QTest::qWaitForWindowActive(sheet_));
        QFETCH(int, page);
        QFETCH(QString, focus);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, expect);
        sheet_->setActiveIndex(page);
        auto* target = sheet_->activePage()->findChild<QWidget*>(focus);
        QVERIFY(target);
        target->setFocus(Qt::ShortcutFocusReason);
        const std::size_t requests = frame_.parts.files->requests().size();
        frame_.parts.files->scriptCancel();
        QTest::keyClick(target, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        const QString kind = expect.section(QLatin1Char(':'), 0, 0);
        const QString text = expect.section(QLatin1Char(':'), 1);
        if (kind == QStringLiteral("help")) {
            auto* help = sheet_->findChild<QDialog*>(QStringLiteral("help"));
            QVERIFY(help && help->isVisible());
            QVERIFY2(help->findChild<QLabel*>(QStringLiteral("helpText"))->text().contains(text),
                     qPrintable(help->findChild<QLabel*>(QStringLiteral("helpText"))->text()));
            QTest::keyClick(help, Qt::Key_Escape);
            QVERIFY(!help->isVisible());
        } else {
            QTRY_COMPARE(frame_.parts.files->requests().size(), requests + 1);
            const QString title = QString::fromStdString(frame_.parts.files->requests().back().title);
            QVERIFY2(title.contains(text), qPrintable(title));
        }
    }

    // The active input, effect and zone 2 source show pressed, alone in their
    // group, following what the unit reports after its own keys.
    void activeButtonsFollowTheUnit_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("prefix"); // the buttons' object names
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("pressed");
        QTest::newRow("input CD") << 1 << "ir INPUT_CD" << "input" << 8 << "input2";
        QTest::newRow("input DVD") << 1 << "ir INPUT_DVD" << "input" << 8 << "input6";
        QTest::newRow("effect THX") << 1 << "ir EFFECT_THX" << "effect" << 16 << "effect1";
        QTest::newRow("effect Party") << 1 << "ir EFFECT_PARTY" << "effect" << 16 << "effect5";
        QTest::newRow("zone 2 CD") << 5 << "ir ZONE2_CD" << "source" << 8 << "source5";
        QTest::newRow("zone 2 VCR") << 5 << "ir ZONE2_VCR" << "source" << 8 << "source0";
    }
    void activeButtonsFollowTheUnit()
    {
        QFETCH(int, page);
        QFETCH(QString, command);
        QFETCH(QString, prefix);
        QFETCH(int, count);
        QFETCH(QString, pressed);
        sheet_->setActiveIndex(page);
        QVERIFY(frame_.unit.command(command.toStdString()));
        QWidget* shown = sheet_->activePage();
        auto checkedOnes = [&] {
            QStringList on;
            for (int i = 0; i < count; ++i) {
                auto* b = shown->findChild<QAbstractButton*>(prefix + QString::number(i));
                if (b && b->isChecked())
                    on << b->objectName();
            }
            return on;
        };
        QTRY_COMPARE_WITH_TIMEOUT(checkedOnes(), QStringList{pressed}, 5000);
    }

    // Last: Ctrl+Q ends the program as the close box does.
    void ctrlQQuits()
    {
        sheet_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(sheet_));
        QSignalSpy closed(frame_.frame.get(), &CMainFrame::closed);
        QTest::keyClick(sheet_, Qt::Key_Q, Qt::ControlModifier);
        QTRY_COMPARE(closed.count(), 1);
        frame_.frame.reset();
    }

    void cleanupTestCase()
    {
        if (frame_.frame)
            frame_.frame->close();
    }

private:
    RunningFrame frame_;
    CGeneralControlSheet* sheet_ = nullptr;
};

QTEST_MAIN(KeyboardAccessTest)
#include "keyboard_access_test.moc"
