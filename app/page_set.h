// The seven pages of the control sheet and the factory that makes them.
#pragma once

#include "app/info_page.h"

#include <array>
#include <functional>

namespace bm {

struct PageSet {
    ControlPage* info = nullptr;
    ControlPage* general = nullptr;
    ControlPage* speakers = nullptr;
    ControlPage* outputs = nullptr;
    ControlPage* equalization = nullptr;
    ControlPage* zone2 = nullptr;
    ControlPage* names = nullptr;

    // Tab order: Info, General, Speaker Config, Output Levels, Equalization,
    // Zone 2, Names. Pages that were not made are null.
    std::array<ControlPage*, 7> tabOrder() const
    {
        return {info, general, speakers, outputs, equalization, zone2, names};
    }
};

using PageFactory = std::function<PageSet(const PageContext&, InfoPageServices)>;

// The program's own pages, created in tab order.
PageSet makeStandardPages(const PageContext& context, InfoPageServices services);

} // namespace bm
