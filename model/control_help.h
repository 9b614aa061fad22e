// What each control of the controls table is called in words and what it does
// on the unit, for the panel's accessible names, tool tips and "What's This?"
// and for the configuration comparison. Kept beside the table, by control
// name, so that a face never writes these texts a second time.
//
// Standard library only.
#pragma once

#include "model/controls.h"

#include <string>
#include <string_view>

namespace bm::controls {

// "Master volume", "Front left trim", "Subwoofer crossover"; the control's
// name when the table has no words for it (a bare parameter).
std::string labelOf(const Control& control);
// What the control does on the unit, one sentence without its full stop;
// empty when the table has none.
std::string purposeOf(const Control& control);
// The unit and range as a person reads them: "-80 to +12 dB in steps of 1",
// "on or off", "at most 8 characters"; for choices the table's words.
std::string rangeText(const Control& control);
// The tool tip: label, purpose, range ("Master volume: the level of the main
// outputs. -80 to +12 dB in steps of 1.").
std::string toolTipOf(const Control& control);
// The same for a control found by name; empty for an unknown name.
std::string toolTipOf(std::string_view name);
std::string labelOf(std::string_view name);

} // namespace bm::controls
