// The Qt back-ends the link leans on: notifications and timers reach the UI
// thread whatever thread starts them, a blocking wait on the UI thread holds
// them back until it is over, and prompts from other threads are shown (also
// inside such a wait) and answered.
#include "link/link_state.h"
#include "platform/qt_owner_window.h"
#include "platform/qt_prompt.h"
#include "platform/qt_wait.h"
#include "platform/sleep.h"
#include "tests/app/app_rig.h"
#include "tests/support/wait_until.h"

#include <QTest>
#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>

using namespace bm;
using namespace bm::test;

class OwnerWindowTest : public QObject {
    Q_OBJECT
private slots:
    void notificationsFromAnyThreadRunOnTheUiThread()
    {
        QtOwnerWindow owner;
        std::vector<std::uint32_t> seen;
        bool allOnUi = true;
        owner.setHandler([&](const Notification& n) {
            seen.push_back(n.first);
            allOnUi = allOnUi && QThread::currentThread() == qApp->thread();
        });
        std::thread poster([&] {
            for (std::uint32_t i = 1; i <= 3; ++i)
                owner.postNotification({WM_PARAM_CHANGED, i, 1, {}});
        });
        poster.join();
        owner.postNotification({WM_FRONT_PANEL, 4, 0, {}});
        QVERIFY(seen.empty()); // posted, never delivered synchronously
        QTRY_COMPARE(seen.size(), std::size_t(4));
        QCOMPARE(seen, (std::vector<std::uint32_t>{1, 2, 3, 4}));
        QVERIFY(allOnUi);
    }

    void timersStartedAnywhereRunOnTheUiThreadUntilKilled()
    {
        QtOwnerWindow owner;
        std::atomic<int> runs{0};
        bool onUi = false;
        std::thread starter([&] {
            owner.setTimer(2, 30, [&] {
                onUi = QThread::currentThread() == qApp->thread();
                ++runs;
                owner.killTimer(2); // one-shot in effect, as the link's procedures do
            });
        });
        starter.join();
        QTRY_COMPARE(runs.load(), 1);
        QVERIFY(onUi);
        QVERIFY(!owner.timerActive(2));
        QTest::qWait(100);
        QCOMPARE(runs.load(), 1);

        // Restarting pushes the expiry back; killing before it stops it.
        owner.setTimer(10, 60, [&] { ++runs; });
        owner.killTimer(10);
        QTest::qWait(120);
        QCOMPARE(runs.load(), 1);
    }

    // An expiry held back by a wait, and a restart or kill from another thread
    // whose QTimer change is still queued: the earlier period is dropped.
    void aStaleExpiryHeldBackByAWaitIsDropped()
    {
        for (const bool kill : {false, true}) {
            QtOwnerWindow owner;
            int earlier = 0;
            int later = 0;
            owner.setTimer(2, 20, [&] {
                ++earlier;
                owner.killTimer(2);
            });
            owner.hold();
            QTest::qWait(80); // the expiry comes and is kept for later
            QCOMPARE(earlier, 0);
            std::thread([&] {
                if (kill)
                    owner.killTimer(2);
                else
                    owner.setTimer(2, 60000, [&] { ++later; });
            }).join();
            owner.release(); // hands on what was kept, before the queued change ran
            QCOMPARE(earlier, 0);
            QTest::qWait(50);
            QCOMPARE(earlier, 0);
            QCOMPARE(later, 0);
            QCOMPARE(owner.timerActive(2), !kill);
        }
    }

    void aRestartFromAnotherThreadWaitsForTheRunningProcedure()
    {
        QtOwnerWindow owner;
        std::atomic<bool> entered{false};
        std::atomic<bool> finished{false};
        std::atomic<bool> finishedWhenRestarted{false};
        owner.setTimer(2, 10, [&] {
            entered = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            finished = true;
            owner.killTimer(2);
        });
        std::thread other([&] {
            while (!entered.load())
                std::this_thread::yield();
            owner.setTimer(2, 60000, [] {});
            finishedWhenRestarted = finished.load();
        });
        QTRY_VERIFY(finished.load());
        other.join();
        QVERIFY(finishedWhenRestarted.load());
        QTRY_VERIFY(owner.timerActive(2)); // the restart holds
    }

    void aBlockingWaitHoldsTimersAndNotificationsUntilItIsOver()
    {
        QtOwnerWindow owner;
        QtWaitHook hook(owner, {});
        std::vector<std::string> order;
        owner.setHandler([&](const Notification& n) { order.push_back("note" + std::to_string(n.first)); });
        owner.setTimer(10, 40, [&] {
            order.push_back("timer");
            owner.killTimer(10);
        });
        std::thread([&] { owner.postNotification({WM_PARAM_CHANGED, 7, 1, {}}); }).join();

        // The UI thread sleeps well past the timer's period, running the hook.
        waitPumping(&hook, 250);
        QVERIFY(hook.waiting());
        QVERIFY(order.empty());

        // Back in the event loop: both run, in the order they arrived.
        QTRY_VERIFY(!hook.waiting());
        QTRY_COMPARE(order.size(), std::size_t(2));
        QCOMPARE(order[0], std::string("note7"));
        QCOMPARE(order[1], std::string("timer"));
        QVERIFY(!owner.timerActive(10));
    }

    // Only the waits given the pump run it, and only on the UI thread.
    void aPlainSleepAndAWaitOnAnotherThreadDoNotPump()
    {
        QtOwnerWindow owner;
        owner.deliverWhileHeld(WM_LINE_STATE);
        int shown = 0;
        QtWaitHook hook(owner, [&] { ++shown; });
        int delivered = 0;
        owner.setHandler([&](const Notification&) { ++delivered; });
        owner.postNotification({WM_LINE_STATE, 1, 0, {}});
        sleepMs(60);
        QVERIFY(!hook.waiting());
        QCOMPARE(shown, 0);
        QCOMPARE(delivered, 0); // no event loop ran
        std::thread([&] { waitPumping(&hook, 60); }).join();
        QVERIFY(!hook.waiting());
        QCOMPARE(shown, 0);
        QCOMPARE(delivered, 0);

        waitPumping(&hook, 20); // this one does, and shows the line at once
        QVERIFY(hook.waiting());
        QVERIFY(shown > 0);
        QCOMPARE(delivered, 1);

        hook.stop(); // the shutdown's: waits given the pump sleep plainly
        QVERIFY(!hook.waiting());
        const int before = shown;
        owner.postNotification({WM_LINE_STATE, 2, 0, {}});
        waitPumping(&hook, 20);
        QCOMPARE(shown, before);
        QCOMPARE(delivered, 1);
        QTRY_COMPARE(delivered, 2);
    }

    void lineStateIsShownEvenDuringAWait()
    {
        QtOwnerWindow owner;
        owner.deliverWhileHeld(WM_LINE_STATE);
        QtWaitHook hook(owner, {});
        std::vector<std::string> order;
        owner.setHandler([&](const Notification& n) {
            order.push_back((n.message == WM_LINE_STATE ? "line" : "note") + std::to_string(n.first));
        });
        std::thread([&] {
            owner.postNotification({WM_PARAM_CHANGED, 7, 1, {}});
            owner.postNotification({WM_LINE_STATE, static_cast<std::uint32_t>(LineState::Lost), 0, {}});
        }).join();
        waitPumping(&hook, 150);
        QVERIFY(hook.waiting());
        QCOMPARE(order, std::vector<std::string>{"line3"}); // the page refresh waits, the line does not
        QTRY_VERIFY(!hook.waiting());
        QTRY_COMPARE(order.size(), std::size_t(2));
        QCOMPARE(order[1], std::string("note7"));
    }

    void aCloseRequestedDuringAWaitRunsAfterIt()
    {
        QtOwnerWindow owner;
        QtWaitHook hook(owner, {});
        bool ran = false;
        hook.afterWait([&] { ran = true; });
        QVERIFY(ran); // not waiting: at once
        ran = false;
        waitPumping(&hook, 30);
        hook.afterWait([&] { ran = true; });
        QVERIFY(!ran);
        QTRY_VERIFY(ran);
    }

    void aPromptFromAnotherThreadIsAnsweredDuringAWait()
    {
        QtOwnerWindow owner;
        QtPrompt prompt;
        QtWaitHook hook(owner, [&] { prompt.showPending(); });
        int delivered = 0;
        owner.setHandler([&](const Notification&) { ++delivered; });
        BoxClicker clicker;

        std::atomic<bool> done{false};
        PromptAnswer answer = PromptAnswer::Cancel;
        std::thread asker([&] {
            owner.postNotification({WM_PARAM_CHANGED, 1, 1, {}});
            answer = prompt.ask("NAK Received. Press OK to Retry.");
            done = true;
        });
        // A blocking wait on the UI thread, bounded.
        for (int i = 0; i < 500 && !done; ++i)
            waitPumping(&hook, 10);
        asker.join();
        QVERIFY(done);
        QCOMPARE(answer, PromptAnswer::Ok);
        QCOMPARE(clicker.texts, QStringList{QStringLiteral("NAK Received. Press OK to Retry.")});
        QCOMPARE(delivered, 0); // the box's own loop did not let the link's notification through
        QTRY_COMPARE(delivered, 1);
    }

    void promptsOnTheUiThreadShowAtOnceAndAbandonReleasesWaiters()
    {
        QtPrompt prompt;
        {
            BoxClicker clicker;
            clicker.answer = QMessageBox::Cancel;
            QCOMPARE(prompt.ask("Are you absolutely sure?", PromptButtons::OkCancel), PromptAnswer::Cancel);
            QCOMPARE(clicker.texts, QStringList{QStringLiteral("Are you absolutely sure?")});
        }

        // Nobody serves the queue: the asker waits until the prompt is abandoned.
        std::atomic<bool> done{false};
        PromptAnswer answer = PromptAnswer::Ok;
        std::thread asker([&] {
            answer = prompt.ask("Timeout. Press Enter to Retry!");
            done = true;
        });
        // Without running the event loop, which would show the box.
        test::waitUntil([&] { return prompt.pendingCount() > 0; });
        QCOMPARE(prompt.pendingCount(), std::size_t(1));
        QVERIFY(!done);
        prompt.abandon();
        asker.join();
        QCOMPARE(answer, PromptAnswer::Cancel);
        QCOMPARE(prompt.ask("after"), PromptAnswer::Cancel); // and every later one
    }
};

QTEST_MAIN(OwnerWindowTest)
#include "owner_window_test.moc"
