// brennmark --simulate: lines on standard input go to the simulated unit's
// console, and "help" lists its commands (instead of an error that says to
// try help). Runs the real program, then ends it with SIGTERM.
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class SimulateConsoleTest : public QObject {
    Q_OBJECT
private slots:
    void helpListsTheConsoleCommands()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(env);
        program.start(QCoreApplication::applicationDirPath() + QStringLiteral("/brennmark"),
                      {QStringLiteral("--simulate")});
        QVERIFY(program.waitForStarted(10000));
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += program.readAllStandardError()).contains("type its console commands here"),
                                 20000);

        program.write("help\n");
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += program.readAllStandardOutput()).contains("this text"), 20000);
        QVERIFY(out.contains("set NAME VALUE"));
        QVERIFY(out.contains("ir KEY"));
        out.clear();
        program.write("  help  \n"); // as typed, with blanks around it
        QTRY_VERIFY_WITH_TIMEOUT((out += program.readAllStandardOutput()).contains("this text"), 20000);
        err += program.readAllStandardError();
        QVERIFY2(!err.contains("unknown command"), err.constData());

        ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(SimulateConsoleTest)
#include "simulate_console_test.moc"
