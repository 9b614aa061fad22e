// Creates the control sheet's pages in tab order.
#include "app/page_set.h"

#include "ui/equalization_page.h"
#include "ui/general_page.h"
#include "ui/names_page.h"
#include "ui/output_levels_page.h"
#include "ui/speaker_config_page.h"
#include "ui/zone2_page.h"

namespace bm {

PageSet makeStandardPages(const PageContext& context, InfoPageServices services)
{
    PageSet pages;
    pages.info = new CInfoPage(context, std::move(services));
    pages.general = new CGeneralPage(context);
    pages.speakers = new CSpkrConfig(context);
    pages.outputs = new COutputLevels(context);
    pages.equalization = new CEqualizationPage(context);
    pages.zone2 = new CZone2Page(context);
    pages.names = new CNamesPage(context);
    return pages;
}

} // namespace bm
