// brennmark: the control panel for the Ridaziv DE-1 and ZA-2.
#include "app/tk7_app.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char** argv)
{
    // --help and --version are answered before the window system is touched,
    // so that they work without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Control panel for the Ridaziv DE-1 and ZA-2 over their serial port."));
    parser.addHelpOption();
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Use serial device <device> for this run (e.g. /dev/ttyUSB0, tcp://HOST:PORT for a serial line behind an IP bridge or ser2net's raw port, or rfc2217://HOST:PORT behind an RFC 2217 server)."),
                                  QStringLiteral("device"));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("Run a simulated unit in-process on a pseudo-terminal and connect to it; "
                       "console lines on standard input go to the unit."));
    const QCommandLineOption trace(QStringLiteral("trace"),
                                   QStringLiteral("Write the link's trace to <file>."), QStringLiteral("file"));
    const QCommandLineOption capture(
        QStringLiteral("capture"),
        QStringLiteral("Write every byte on the line to <file> as a capture that ridaziv-sim --replay plays back "
                       "(JSON Lines; gzip when <file> ends in .gz)."),
        QStringLiteral("file"));
    const QCommandLineOption captureRedact(QStringLiteral("capture-redact"),
                                           QStringLiteral("Leave the unit's names and the port out of the capture."));
    const QCommandLineOption shots(QStringLiteral("screenshot-dir"),
                                   QStringLiteral("Save a picture of every page and dialog in <dir>, then exit."),
                                   QStringLiteral("dir"));
    for (const auto* option : {&version, &port, &simulate, &trace, &capture, &captureRedact, &shots})
        parser.addOption(*option);
    for (const QString& a : arguments.mid(1)) {
        if (a == QLatin1String("-h") || a == QLatin1String("--help") || a == QLatin1String("-help")) {
            std::fputs(qPrintable(parser.helpText().replace(QLatin1String("<executable_name>"),
                                                             QLatin1String("brennmark"))),
                       stdout);
            return 0;
        }
        if (a == QLatin1String("-v") || a == QLatin1String("--version")) {
            std::puts("Brennmark 1.02");
            return 0;
        }
    }

    // QApplication takes its own options (-platform, -style, ...) out first.
    QApplication qtApp(argc, argv);
    parser.process(qtApp);
    bm::AppOptions options;
    options.port = parser.value(port);
    options.simulate = parser.isSet(simulate);
    options.traceFile = parser.value(trace);
    options.captureFile = parser.value(capture);
    options.captureRedact = parser.isSet(captureRedact);
    options.screenshotDir = parser.value(shots);

    bm::CTK7App theApp(options);
    if (!theApp.InitInstance())
        return 1;
    return theApp.Run();
}
