// Keyboard and screen-reader access for the pages and dialogs: accessible
// names and tool tips from the controls table, a tab order that follows the
// layout, and a mnemonic of its own for every worded caption.
#pragma once

#include <QString>

#include <string_view>

class QLayout;
class QWidget;

namespace bm {

class LevelControl;

// The accessible name, the tool tip and the "What's This?" text of a widget.
void describe(QWidget* widget, const QString& name, const QString& toolTip);
// The same from the controls table's row `control` ("volume", "out-front-l"):
// its label as the name, its purpose and range as the tool tip. `name`, when
// given, replaces the label.
void describeControl(QWidget* widget, std::string_view control, const QString& name = {});
// A level's slider, value box and step buttons, from the table's row.
void describeLevel(LevelControl& level, std::string_view control);

// The focus chain of `page` in the order its layouts hold the widgets: left to
// right and top to bottom as laid out, group boxes entered where they stand.
void orderTabsByLayout(QWidget* page);

// Gives every worded caption of `page` (buttons and check boxes, group titles,
// labels of a field that takes the focus; not radio buttons, which their
// group's mnemonic and the arrow keys reach) a mnemonic letter that no other
// caption of the page has, taken from its own words, first letters of words
// first. Captions keep their words: only an '&' is added. Run again after a
// caption changes. Where a page has more captions than letters, the rest
// share a letter (Alt then moves through them without pressing). Returns the
// number of captions that share.
int assignMnemonics(QWidget* page);

// A caption's text with its '&'s escaped, for texts from the unit ("R&B").
QString literalCaption(const QString& text);
// A caption as shown: its mnemonic's '&' dropped, "&&" read as one '&'.
QString shownCaption(const QString& caption);

} // namespace bm
