// All six control pages together: their tab captions, and that each fits the
// control sheet (about 640 by 480, less the tabs and the sheet's margins).
#include "page_rig.h"
#include "ui/equalization_page.h"
#include "ui/general_page.h"
#include "ui/names_page.h"
#include "ui/output_levels_page.h"
#include "ui/speaker_config_page.h"
#include "ui/zone2_page.h"

#include <QTest>

namespace bm {

class PageLayoutTest : public QObject {
    Q_OBJECT
private slots:
    void pagesFitTheSheet()
    {
        test::FakeUnitRig rig;
        const PageContext context = rig.context();
        std::vector<std::unique_ptr<ControlPage>> pages;
        pages.emplace_back(new CGeneralPage(context));
        pages.emplace_back(new CSpkrConfig(context));
        pages.emplace_back(new COutputLevels(context));
        pages.emplace_back(new CEqualizationPage(context));
        pages.emplace_back(new CZone2Page(context));
        pages.emplace_back(new CNamesPage(context));
        const QStringList captions{"General", "Speaker Config", "Output Levels", "Equalization", "Zone 2", "Names"};
        for (std::size_t i = 0; i < pages.size(); ++i) {
            ControlPage& page = *pages[i];
            QCOMPARE(page.caption(), captions[int(i)]);
            const QSize least = page.minimumSizeHint();
            qInfo("%s: %dx%d", qPrintable(page.caption()), least.width(), least.height());
            QVERIFY2(least.width() <= 620 && least.height() <= 410,
                     qPrintable(QString("%1 needs %2x%3").arg(page.caption()).arg(least.width()).arg(least.height())));
        }
        // Building the pages sends nothing and none was refreshed.
        QVERIFY(rig.takeSent().empty());
    }
};

} // namespace bm

QTEST_MAIN(bm::PageLayoutTest)
#include "page_layout_test.moc"
