// The start-up wait on a virtual clock: each 100 ms sleep advances the clock and
// plays one step of the unit, so the pass counts are the designed figures
// exactly. Also the progress window's figures for an ordinary and a
// downloading sweep.
#include "model/startup_wait.h"

#include <QTest>

#include <functional>

using namespace bm;

namespace {

// A unit seen only through the link's shared words: `step` runs once per
// pass, at virtual time `now` (ms).
struct VirtualUnit {
    LinkState state;
    VirtualUnit() { state.StatusSweepActive = true; } // the sweep starts with the link
    int now = 0;
    std::function<void(VirtualUnit&)> step;

    StartupWait::Sleep sleep()
    {
        return [this](int ms) {
            now += ms;
            if (step)
                step(*this);
        };
    }
    void answer() { ++state.ResponsesReceived; }
};

UnitConfig configWith(int params, int effects)
{
    UnitConfig c;
    c.ProductId = 2;
    c.TotalParams = static_cast<std::uint8_t>(params);
    c.TotalEffects = static_cast<std::uint8_t>(effects);
    return c;
}

} // namespace

class StartupWaitTest : public QObject {
    Q_OBJECT
private slots:
    void anOrdinarySweepEndsTheWaitAtOnce()
    {
        VirtualUnit unit;
        unit.step = [](VirtualUnit& u) {
            u.answer();
            if (u.now == 700)
                u.state.StatusSweepActive = false;
        };
        StartupWait wait(unit.state, false, unit.sleep());
        QVERIFY(wait.run({}));
        QCOMPARE(wait.passes(), 7);
        QCOMPARE(unit.now, 700);
    }

    void aWaitOnEventsEndsThePassTheMomentTheSweepDoes()
    {
        // The unit's last answer comes 30 ms into the fourth pass; the wait
        // is woken by it, in 1 ms steps of the virtual clock.
        VirtualUnit unit;
        StartupWait::Wait wait = [&unit](int ms, const std::function<bool()>& over) {
            for (int i = 0; i < ms && !over(); ++i) {
                ++unit.now;
                unit.answer();
                if (unit.now == 330)
                    unit.state.StatusSweepActive = false;
            }
        };
        StartupWait startup(unit.state, false, wait);
        QVERIFY(startup.run({}));
        QCOMPARE(startup.passes(), 4);
        QCOMPARE(unit.now, 330);
    }

    void withoutADownloadTheWaitGivesUpAfterFiftyPasses()
    {
        VirtualUnit unit;
        unit.step = [](VirtualUnit& u) { u.answer(); }; // busy, never done
        StartupWait wait(unit.state, false, unit.sleep());
        QVERIFY(!wait.run({}));
        QCOMPARE(wait.passes(), 50);
        QCOMPARE(unit.now, 5000);
    }

    void aForcedDownloadHasEighteenHundredPasses()
    {
        VirtualUnit unit;
        unit.state.ReloadDefinitions = true;
        unit.step = [](VirtualUnit& u) {
            u.answer();
            if (u.now == 300)
                u.state.UnitConfirmed = true; // its configuration is in
        };
        StartupWait wait(unit.state, true, unit.sleep());
        QVERIFY(!wait.run({}));
        QCOMPARE(wait.passes(), 1800);
        QCOMPARE(unit.now, 180000);
    }

    void aBusyPeerThatIsNoUnitGetsOnlyTheShortLimit()
    {
        // Packets keep coming, but no configuration of a known unit: the
        // download's limit never applies, forced or begun.
        for (const bool forced : {true, false}) {
            VirtualUnit unit;
            unit.state.ReloadDefinitions = forced;
            unit.step = [](VirtualUnit& u) {
                u.answer();
                if (u.now == 300)
                    u.state.ReloadDefinitions = true;
            };
            StartupWait wait(unit.state, forced, unit.sleep());
            QVERIFY(!wait.run({}));
            QCOMPARE(wait.passes(), 50);
        }
    }

    void fiftyOnePassesWithoutAPacketEndTheWait()
    {
        VirtualUnit unit;
        unit.state.ReloadDefinitions = true;
        unit.state.UnitConfirmed = true;
        unit.step = [](VirtualUnit& u) {
            if (u.now <= 2000) // then silence
                u.answer();
        };
        StartupWait wait(unit.state, true, unit.sleep());
        QVERIFY(!wait.run({}));
        QCOMPARE(wait.passes(), 20 + 51);
    }

    void aRomChangeDuringTheWaitGetsTheDownloadLimit()
    {
        // The cache was trusted at start; the unit's configuration shows
        // another ROM at 300 ms and the download runs for 20 s, steadily.
        VirtualUnit unit;
        unit.step = [](VirtualUnit& u) {
            u.answer();
            if (u.now == 300) {
                u.state.ReloadDefinitions = true;
                u.state.UnitConfirmed = true;
            }
            if (u.now == 20000) {
                u.state.ReloadDefinitions = false;
                u.state.StatusSweepActive = false;
            }
        };
        StartupWait wait(unit.state, false, unit.sleep());
        QVERIFY(wait.run({})); // no "Timed out waiting for data download"
        QCOMPARE(wait.passes(), 200);
        QVERIFY(wait.downloadSeen());
        QCOMPARE(wait.passLimit(), 1800);
    }

    void aRomChangeStillEndsWhenTheUnitFallsSilent()
    {
        VirtualUnit unit;
        unit.step = [](VirtualUnit& u) {
            if (u.now == 300) {
                u.state.ReloadDefinitions = true;
                u.state.UnitConfirmed = true;
            }
            if (u.now <= 8000)
                u.answer();
        };
        StartupWait wait(unit.state, false, unit.sleep());
        QVERIFY(!wait.run({}));
        QCOMPARE(wait.passes(), 80 + 51);
    }

    void theHookSeesEveryPass()
    {
        VirtualUnit unit;
        unit.step = [](VirtualUnit& u) {
            u.answer();
            if (u.now == 300)
                u.state.StatusSweepActive = false;
        };
        QList<int> seen;
        StartupWait wait(unit.state, false, unit.sleep());
        wait.run([&](const StartupWait& w) {
            seen << w.passes();
            return true;
        });
        QCOMPARE(seen, (QList<int>{1, 2, 3}));
    }

    void theHookCanEndTheWait()
    {
        VirtualUnit unit;
        unit.step = [](VirtualUnit& u) { u.answer(); };
        StartupWait wait(unit.state, true, unit.sleep());
        QVERIFY(!wait.run([](const StartupWait& w) { return w.passes() < 4; }));
        QCOMPARE(wait.passes(), 4);
    }

    void progressIsUnknownUntilTheConfigurationIsIn()
    {
        const UnitConfig none;
        // Greeting (2) and the first three requests: no total yet.
        for (std::uint32_t sent : {0u, 2u, 3u, 5u}) {
            const SweepProgress p = sweepProgress(sent, false, false, none);
            QCOMPARE(p.total, 0);
        }
        QCOMPARE(sweepProgress(5, false, false, none).done, 2);
    }

    void progressOfAnOrdinarySweep()
    {
        const UnitConfig de1 = configWith(192, 22);
        // The fourth request (custom name) went out: three answers in of 13.
        SweepProgress p = sweepProgress(2 + 4, false, false, de1);
        QCOMPARE(p.total, 13);
        QCOMPARE(p.done, 3);
        p = sweepProgress(2 + 13, false, false, de1);
        QCOMPARE(p.done, 12);
        p = sweepProgress(2 + 13, false, true, de1);
        QCOMPARE(p.done, 13);
        // Commands after the sweep (a page's, a wake-up's) never pass the total.
        p = sweepProgress(2 + 40, false, false, de1);
        QCOMPARE(p.done, 13);
    }

    void progressOfADownloadCountsEveryDefinition()
    {
        const UnitConfig de1 = configWith(192, 22);
        SweepProgress p = sweepProgress(2 + 4, true, false, de1); // parameter 0 asked for
        QCOMPARE(p.total, 13 + 192 + 22);
        QCOMPARE(p.done, 3);
        p = sweepProgress(2 + 3 + 192 + 22 + 1, true, false, de1); // custom name asked for
        QCOMPARE(p.done, 3 + 192 + 22);
        // A unit that reports no effects is still asked for effect 0.
        QCOMPARE(sweepProgress(2 + 4, true, false, configWith(10, 0)).total, 13 + 10 + 1);
    }
};

QTEST_GUILESS_MAIN(StartupWaitTest)
#include "startup_wait_test.moc"
