// Tabs first (each given time to fill itself from the unit), then the status
// line connected and with the line lost, then the About, Comm Config and
// Advanced Comm Settings dialogs.
#include "app/screenshot_tour.h"

#include "app/comm_dialogs.h"
#include "app/dialog_runner.h"
#include "app/info_page.h"
#include "app/main_frame.h"
#include "app/small_dialogs.h"
#include "model/device_model.h"
#include "platform/settings_keys.h"
#include "platform/qt_owner_window.h"
#include "platform/settings_store.h"
#include "ui/control_page.h"
#include "ui/control_sheet.h"

#include <QDir>
#include <QEventLoop>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace bm {
namespace {

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QString fileName(const QString& caption)
{
    QString name = caption.toLower();
    name.replace(QLatin1Char(' '), QLatin1Char('-'));
    return name + QStringLiteral(".png");
}

bool save(QWidget& widget, const QDir& dir, const QString& name)
{
    const QString path = dir.filePath(name);
    const bool ok = widget.grab().save(path);
    std::fprintf(stderr, "%s %s\n", ok ? "saved" : "could not save", qPrintable(path));
    return ok;
}

int saveDialog(QDialog& dialog, const QDir& dir, const QString& name)
{
    dialog.show();
    settle(300);
    const bool ok = save(dialog, dir, name);
    dialog.close();
    return ok ? 1 : 0;
}

} // namespace

int runScreenshotTour(CMainFrame& frame, const QString& directory)
{
    QDir dir(directory);
    if (!dir.mkpath(QStringLiteral(".")))
        return 0;
    CGeneralControlSheet* sheet = frame.sheet();
    if (!sheet)
        return 0;

    int saved = 0;
    // "Update All" first, as a user would after a first start (whose download
    // leaves the last effect downloaded as the current one), then let the
    // answers arrive and the pages catch up.
    if (auto* updateAll = sheet->page(0)->findChild<QPushButton*>(QStringLiteral("updateAll")))
        updateAll->click();
    settle(2000);
    for (int i = 0; i < sheet->pageCount(); ++i) {
        sheet->setActiveIndex(i);
        settle(1200);
        if (save(*sheet, dir, fileName(sheet->page(i)->caption())))
            ++saved;
    }
    // The status line: connected, then as the link reports a lost line
    // (the controls that would send are off), then connected again.
    sheet->setActiveIndex(1);
    settle(600);
    saved += save(*sheet, dir, QStringLiteral("status-connected.png")) ? 1 : 0;
    auto postLine = [&frame](LineState state) {
        frame.ownerWindow().postNotification({WM_LINE_STATE, static_cast<std::uint32_t>(state), 0, {}});
        settle(400);
    };
    postLine(LineState::Lost);
    saved += save(*sheet, dir, QStringLiteral("status-line-lost.png")) ? 1 : 0;
    postLine(LineState::Connected);
    // The least size the window takes: the page scrolls.
    const QSize before = sheet->size();
    const QSize least = sheet->minimumSize().expandedTo(sheet->minimumSizeHint());
    std::fprintf(stderr, "least size %dx%d\n", least.width(), least.height());
    sheet->resize(least);
    settle(600);
    saved += save(*sheet, dir, QStringLiteral("least-size.png")) ? 1 : 0;
    sheet->resize(before);
    sheet->setActiveIndex(0);
    settle(600);

    AboutFacts facts;
    if (auto* info = qobject_cast<CInfoPage*>(sheet->page(0)))
        facts = info->aboutFacts();
    CAboutDlg about(facts, sheet);
    saved += saveDialog(about, dir, QStringLiteral("about.png"));

    ExecDialogRunner runner;
    CommConfigValues values;
    values.portIndex = frame.settings().readInt(keys::kComm, keys::kCommPort, 0);
    values.dontShow = frame.settings().readInt(keys::kComm, keys::kDontShow, 0);
    values.forceDownload = frame.settings().readInt(keys::kComm, keys::kForceDownload, 0);
    CCommConfigDlg comm(values, frame.settings(), frame.prompt(), runner, frame.control(), sheet);
    comm.showDeviceInUse(frame.deviceInUse(), frame.deviceNote());
    saved += saveDialog(comm, dir, QStringLiteral("comm-config.png"));
    CAdvancedCommDlg advanced(frame.settings(), frame.prompt(), frame.control(), sheet);
    saved += saveDialog(advanced, dir, QStringLiteral("advanced-comm-settings.png"));
    return saved;
}

} // namespace bm
