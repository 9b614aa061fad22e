// How the main window turns the link's notifications into page refreshes:
// inside the response window only the Info page follows each change, and the
// four control pages catch up once, when the window closes; outside it every
// change shows at once. Runs the main window against the simulated unit with
// pages that count their refreshes.
#include "link/quor_control.h"
#include "platform/qt_owner_window.h"
#include "tests/app/app_rig.h"

#include <QTest>

using namespace bm;
using namespace bm::test;

namespace {

class CountingPage : public ControlPage {
public:
    CountingPage(const PageContext& c, const char* caption) : ControlPage(c, QString::fromLatin1(caption)) {}
    int refreshes = 0;

protected:
    void doRefresh() override { ++refreshes; }
};

struct Counts {
    int info, general, speakers, outputs, equalization, zone2, names;
    bool operator==(const Counts&) const = default;
};

} // namespace

namespace QTest {
template <>
char* toString(const Counts& c)
{
    return qstrdup(qPrintable(QString::asprintf("info %d general %d speakers %d outputs %d eq %d zone2 %d names %d",
                                                c.info, c.general, c.speakers, c.outputs, c.equalization, c.zone2,
                                                c.names)));
}
} // namespace QTest

class RefreshRuleTest : public QObject {
    Q_OBJECT

    sim::SimServer unit_{fastSim()};
    FrameParts parts_;
    std::unique_ptr<CMainFrame> frame_;
    std::array<CountingPage*, 7> pages_{}; // tab order

    Counts counts() const
    {
        return {pages_[0]->refreshes, pages_[1]->refreshes, pages_[2]->refreshes, pages_[3]->refreshes,
                pages_[4]->refreshes, pages_[5]->refreshes, pages_[6]->refreshes};
    }
    void resetCounts()
    {
        for (auto* p : pages_)
            p->refreshes = 0;
    }
    LinkState& state() { return frame_->control()->state(); }
    void post(std::uint32_t first, std::uint32_t second, int message = WM_PARAM_CHANGED)
    {
        frame_->ownerWindow().postNotification({message, first, second, {}});
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(unit_.start());
        PageFactory factory = [this](const PageContext& c, InfoPageServices) {
            static const char* const kCaptions[7] = {"Info", "General", "Speaker Config", "Output Levels",
                                                     "Equalization", "Zone 2", "Names"};
            for (int i = 0; i < 7; ++i)
                pages_[i] = new CountingPage(c, kCaptions[i]);
            return PageSet{pages_[0], pages_[1], pages_[2], pages_[3], pages_[4], pages_[5], pages_[6]};
        };
        frame_ = makeFrame(parts_, quietStart, unit_.devicePath(), false, factory);
        QCOMPARE(frame_->create(), 0);
        QVERIFY(frame_->sheet());
        for (auto* p : pages_)
            p->onActivate(); // a page that was never shown ignores refreshes
        QTRY_VERIFY_WITH_TIMEOUT(!state().ResponseWindowOpen.load(), 5000);
    }
    void init()
    {
        QTRY_VERIFY(!state().ResponseWindowOpen.load());
        QTRY_VERIFY(!state().SendSuppressed.load());
        QTest::qWait(50);
        resetCounts();
    }

    void outsideTheWindowEveryChangeRefreshesTheControlPages()
    {
        post(5, 3);
        QCOMPARE(counts(), (Counts{1, 1, 0, 1, 1, 1, 0}));
        post(0, 0); // even a (0, 0)
        QCOMPARE(counts(), (Counts{2, 2, 0, 2, 2, 2, 0}));
    }

    void insideTheWindowOnlyInfoFollowsUntilTheWindowCloses()
    {
        // Hold the window open by hand: no timer of the link is running now.
        state().ResponseWindowOpen = true;
        post(5, 3);
        post(0, 0);
        QCOMPARE(counts(), (Counts{2, 0, 0, 0, 0, 0, 0}));
        post(0, 1); // what the window's timer posts when it closes
        QCOMPARE(counts(), (Counts{3, 1, 0, 1, 1, 1, 0}));
        state().ResponseWindowOpen = false;
    }

    void frontPanelTextRefreshesInfoAndOtherNoticesNothing()
    {
        post(0, 0, WM_FRONT_PANEL);
        post(0, 0, WM_UNIT_POWER);
        post(DC_ACK, 0, WM_UNIT_RESPONSE);
        QCOMPARE(counts(), (Counts{1, 0, 0, 0, 0, 0, 0}));
    }

    void aChangeMadeOnTheUnitShowsAtOnce()
    {
        QVERIFY(unit_.command("set VOLUME 50"));
        QTRY_VERIFY(counts().general >= 1);
        QVERIFY(counts().info >= 1);
        QCOMPARE(counts().speakers, 0);
    }

    void theProgramsOwnCommandRefreshesThePagesOnceWhenTheWindowCloses()
    {
        frame_->model()->SetVolume(static_cast<std::uint8_t>(frame_->model()->status().Volume ^ 1));
        QVERIFY(state().ResponseWindowOpen.load());
        QTRY_VERIFY(!state().ResponseWindowOpen.load());
        QTRY_COMPARE(counts().general, 1);
        QTest::qWait(100);
        QCOMPARE(counts().general, 1);
        QCOMPARE(counts().names, 0);
    }

    void cleanupTestCase()
    {
        frame_->close();
        QVERIFY(frame_->isShutDown());
        unit_.stop();
    }
};

QTEST_MAIN(RefreshRuleTest)
#include "refresh_rule_test.moc"
