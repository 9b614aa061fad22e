// Accessible names, tool tips, layout tab order and mnemonics.
#include "ui/access.h"

#include "model/control_help.h"
#include "ui/level_control.h"
#include "ui/tracked_slider.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

#include <functional>
#include <vector>

namespace bm {
namespace {

QString fromUtf8(const std::string& s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Widgets in the order the layouts hold them; a widget with a layout of its
// own (a group box) is followed by its contents.
void collect(QLayout* layout, QList<QWidget*>& out)
{
    if (!layout)
        return;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QWidget* w = item->widget()) {
            out << w;
            collect(w->layout(), out);
        } else if (QLayout* inner = item->layout()) {
            collect(inner, out);
        }
    }
}

QString withoutMnemonic(const QString& text)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) {
            ++i;
            out += text[i]; // "&&" stays one literal '&'
            if (text[i] == QLatin1Char('&'))
                out += QLatin1Char('&');
            continue;
        }
        out += text[i];
    }
    return out;
}

// A caption that takes a mnemonic, and how to give it one.
struct Caption {
    QString text;                      // without mnemonic, '&&' for a literal '&'
    std::function<void(const QString&)> set;
    std::vector<int> candidates;       // positions in text, best first
    int chosen = -1;
};

std::vector<int> candidatesOf(const QString& text)
{
    std::vector<int> starts, others;
    bool wordStart = true;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('&')) { // a literal '&&'
            ++i;
            wordStart = true;
            continue;
        }
        if (c.isLetterOrNumber() && c.unicode() < 128) {
            (wordStart ? starts : others).push_back(i);
            wordStart = false;
        } else {
            wordStart = true;
        }
    }
    starts.insert(starts.end(), others.begin(), others.end());
    return starts;
}

// Kuhn's augmenting paths: caption `c` takes a letter, moving others to their
// next choices where that frees one.
bool place(std::vector<Caption>& captions, std::size_t c, std::vector<int>& owner, std::vector<bool>& visited)
{
    for (int position : captions[c].candidates) {
        const int letter = captions[c].text[position].toLower().unicode();
        if (visited[letter])
            continue;
        visited[letter] = true;
        if (owner[letter] < 0 ||
            place(captions, static_cast<std::size_t>(owner[letter]), owner, visited)) {
            owner[letter] = static_cast<int>(c);
            captions[c].chosen = position;
            return true;
        }
    }
    return false;
}

bool takesFocus(const QWidget* w)
{
    return w && (w->focusPolicy() & Qt::TabFocus);
}

} // namespace

void describe(QWidget* widget, const QString& name, const QString& toolTip)
{
    widget->setAccessibleName(name);
    widget->setToolTip(toolTip);
    widget->setWhatsThis(toolTip);
}

void describeControl(QWidget* widget, std::string_view control, const QString& name)
{
    const QString label = name.isEmpty() ? fromUtf8(controls::labelOf(control)) : name;
    describe(widget, label, fromUtf8(controls::toolTipOf(control)));
}

void describeLevel(LevelControl& level, std::string_view control)
{
    const QString label = fromUtf8(controls::labelOf(control));
    const QString tip = fromUtf8(controls::toolTipOf(control));
    describe(level.slider(), label, tip + QStringLiteral(" Arrow keys move one step, Page Up and Page Down a fifth."));
    describe(level.valueBox(), label + QStringLiteral(" value"), tip);
    describe(level.minusButton(), label + QStringLiteral(" down one step"),
             QStringLiteral("One step down. ") + tip);
    describe(level.plusButton(), label + QStringLiteral(" up one step"), QStringLiteral("One step up. ") + tip);
}

void orderTabsByLayout(QWidget* page)
{
    QList<QWidget*> widgets;
    collect(page->layout(), widgets);
    QWidget* previous = nullptr;
    for (QWidget* w : widgets) {
        if (!takesFocus(w))
            continue;
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

int assignMnemonics(QWidget* page)
{
    QList<QWidget*> widgets;
    collect(page->layout(), widgets);
    std::vector<Caption> captions;
    for (QWidget* w : widgets) {
        if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            if (qobject_cast<QRadioButton*>(button))
                continue;
            captions.push_back({withoutMnemonic(button->text()), [button](const QString& t) { button->setText(t); }});
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            captions.push_back({withoutMnemonic(group->title()), [group](const QString& t) { group->setTitle(t); }});
        } else if (auto* label = qobject_cast<QLabel*>(w); label && takesFocus(label->buddy())) {
            captions.push_back({withoutMnemonic(label->text()), [label](const QString& t) { label->setText(t); }});
        }
    }
    std::vector<int> owner(128, -1);
    int left = 0;
    for (std::size_t c = 0; c < captions.size(); ++c) {
        captions[c].candidates = candidatesOf(captions[c].text);
        std::vector<bool> visited(128, false);
        if (!captions[c].candidates.empty() && !place(captions, c, owner, visited))
            ++left;
    }
    for (Caption& caption : captions) {
        // More captions than letters: the rest share one, which Alt then
        // cycles through without pressing.
        if (caption.chosen < 0 && !caption.candidates.empty())
            caption.chosen = caption.candidates.front();
        QString text = caption.text;
        if (caption.chosen >= 0)
            text.insert(caption.chosen, QLatin1Char('&'));
        caption.set(text);
    }
    return left;
}

QString shownCaption(const QString& caption)
{
    QString out;
    for (int i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&') && i + 1 < caption.size())
            ++i;
        out += caption[i];
    }
    return out;
}

QString literalCaption(const QString& text)
{
    QString out = text;
    out.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return out;
}

} // namespace bm
