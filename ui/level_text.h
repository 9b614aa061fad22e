// The texts shown in the level pages' value boxes. Each takes n, the number of
// steps from the control's zero point, and works in integers only, so a level
// never shows a rounding artefact; zero always carries a plus sign.
#pragma once

#include <QString>

namespace bm {

// Volume and balance: "+0", "+12", "-35".
QString wholeStepText(int n);
// Bass, treble and output levels, 0.5 per step: "+0.0", "+0.5", "-10.0".
QString halfStepText(int n);
// Tilt, 0.2 per step: "+0.2", "-1.4", "+3.0".
QString fifthStepText(int n);

} // namespace bm
