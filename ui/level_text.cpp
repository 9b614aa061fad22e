// Value-box texts of the level pages, from the model's level scales.
#include "ui/level_text.h"

namespace bm {

QString valueBoxText(const LevelScale& scale, int value)
{
    return QString::fromStdString(levelText(scale, value));
}

} // namespace bm
