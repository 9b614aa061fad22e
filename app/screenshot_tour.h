// The screenshot tour: shows every tab of the sheet in turn and the program's
// dialogs, and saves each as a PNG. Used to keep the documentation's pictures
// current (scripts/screenshots).
#pragma once

#include <QString>

namespace bm {

class CMainFrame;

// Runs on the event loop; returns the number of pictures saved.
int runScreenshotTour(CMainFrame& frame, const QString& directory);

} // namespace bm
