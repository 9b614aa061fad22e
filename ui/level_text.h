// The texts shown in the level pages' value boxes, as Qt strings. The formats
// and zero points are the model's level scales (model/levels.h); integer
// arithmetic only, and zero always carries a plus sign.
#pragma once

#include "model/levels.h"

#include <QString>

namespace bm {

// The value box's text for a raw value on its scale: "+0", "-35"; "+0.0",
// "-0.5", "-10.0"; "+0.2", "-1.4".
QString valueBoxText(const LevelScale& scale, int value);

} // namespace bm
