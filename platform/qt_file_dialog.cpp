// QFileDialog back-end of the file dialog.
#include "platform/qt_file_dialog.h"

#include "platform/qt_modal.h"

#include <QFileDialog>

namespace bm {

QStringList QtFileDialog::nameFilters(const FileDialogRequest& request)
{
    QStringList filters;
    for (const FileFilter& filter : request.filters) {
        const QString raw = QString::fromStdString(filter.pattern);
        // "*.*" means every file on the platform this comes from; Qt takes it
        // literally and would hide names without a dot.
        const QString pattern = raw == QStringLiteral("*.*") ? QStringLiteral("*") : raw;
        // Qt reads the pattern from the trailing parentheses, so a description
        // that already shows it loses that part before the pattern is added.
        QString description = QString::fromStdString(filter.description);
        const QString shown = QStringLiteral(" (") + raw + QLatin1Char(')');
        if (description.endsWith(shown))
            description.chop(shown.size());
        filters << description + QStringLiteral(" (") + pattern + QLatin1Char(')');
    }
    return filters;
}

void QtFileDialog::configure(QFileDialog& dialog, const FileDialogRequest& request)
{
    const bool save = request.mode == FileDialogMode::Save;
    dialog.setWindowTitle(QString::fromStdString(request.title));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save || !request.fileMustExist ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    const QStringList filters = nameFilters(request);
    dialog.setNameFilters(filters);
    if (!filters.isEmpty())
        dialog.selectNameFilter(filters.first());
    dialog.setDefaultSuffix(QString::fromStdString(request.defaultExtension));
    if (!request.initialFolder.empty())
        dialog.setDirectory(QString::fromStdString(request.initialFolder));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !(save && request.confirmOverwrite));
}

FileDialogResult QtFileDialog::run(const FileDialogRequest& request)
{
    QFileDialog dialog(owner_);
    configure(dialog, request);
    int result = 0;
    {
        const ModalScope modal;
        result = dialog.exec();
    }
    if (result != QDialog::Accepted)
        return {};
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return {};
    return {chosen.first().toStdString(), 0};
}

} // namespace bm
