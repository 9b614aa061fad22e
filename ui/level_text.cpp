// Value-box texts of the level pages; integer arithmetic only.
#include "ui/level_text.h"

#include <cstdlib>

namespace bm {

QString wholeStepText(int n)
{
    // The number carries its own minus sign; only zero and up get a "+".
    return QString::asprintf("%s%d", n >= 0 ? "+" : "", n);
}

QString halfStepText(int n)
{
    const int magnitude = std::abs(n);
    return QString::asprintf(n >= 0 ? "+%d.%d" : "-%d.%d", magnitude / 2, (magnitude % 2) ? 5 : 0);
}

QString fifthStepText(int n)
{
    const int magnitude = std::abs(n);
    return QString::asprintf(n >= 0 ? "+%d.%d" : "-%d.%d", magnitude / 5, (magnitude % 5) * 2);
}

} // namespace bm
