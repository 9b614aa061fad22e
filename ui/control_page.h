// Base of the control sheet's pages. Each page holds the device model (and
// through it the link), reads the model when it refreshes and changes the unit
// only through the model's operations. A refresh before the page was ever
// shown does nothing: the page fills itself when it is first activated.
#pragma once

#include <QString>
#include <QWidget>

namespace bm {

class DeviceModel;
class SettingsStore;
class Prompt;

struct PageContext {
    DeviceModel& model;
    SettingsStore& settings;
    Prompt& prompt;
};

class ControlPage : public QWidget {
    Q_OBJECT
public:
    ControlPage(const PageContext& context, const QString& caption, QWidget* parent = nullptr)
        : QWidget(parent), context_(context), caption_(caption)
    {
    }

    QString caption() const { return caption_; }

    // Called by the sheet when the page becomes / stops being the active tab.
    virtual void onActivate()
    {
        shown_ = true;
        refresh();
    }
    virtual void onDeactivate() {}

    // Copies the model's current values into the controls; sends nothing.
    // The main window calls it on notifications; it does nothing until the
    // page has been shown once.
    void refresh()
    {
        if (shown_)
            doRefresh();
    }
    bool everShown() const { return shown_; }

protected:
    virtual void doRefresh() {}

    DeviceModel& model() const { return context_.model; }
    SettingsStore& settings() const { return context_.settings; }
    Prompt& prompt() const { return context_.prompt; }

private:
    PageContext context_;
    QString caption_;
    bool shown_ = false;
};

} // namespace bm
