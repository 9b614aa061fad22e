// The communication dialogs: "Brennmark Comm Config" (port, download choice,
// don't-show, and the serial device behind each COM port on this system) and
// "Brennmark Advanced Comm Settings" (the sender's six timing values).
#pragma once

#include <QDialog>

#include <array>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace bm {

class CQuorControl;
class DialogRunner;
class Prompt;
class SettingsStore;

struct CommConfigValues {
    int portIndex = 0;     // 0..3 for COM1..COM4, -1 when none is selected
    int dontShow = 0;
    int forceDownload = 0;
};

class CCommConfigDlg : public QDialog {
    Q_OBJECT
public:
    // `link` is the running link the Advanced dialog applies its values to;
    // none during start-up, when the values are only stored.
    CCommConfigDlg(const CommConfigValues& initial, SettingsStore& settings, Prompt& prompt,
                   DialogRunner& runner, CQuorControl* link, QWidget* parent = nullptr);

    // The three values as the controls hold them.
    CommConfigValues values() const;
    // Says which device this run actually uses and why (e.g. "--port").
    void showDeviceInUse(const QString& device, const QString& why);

    void accept() override;

private:
    void openAdvanced();

    SettingsStore& settings_;
    Prompt& prompt_;
    DialogRunner& runner_;
    CQuorControl* link_;
    QComboBox* port_ = nullptr;
    QCheckBox* dontShow_ = nullptr;
    QCheckBox* download_ = nullptr;
    std::array<QLineEdit*, 4> devices_{};
    QLabel* inUse_ = nullptr;
};

class CAdvancedCommDlg : public QDialog {
    Q_OBJECT
public:
    CAdvancedCommDlg(SettingsStore& settings, Prompt& prompt, CQuorControl* link,
                     QWidget* parent = nullptr);

    // Validates field by field; on success applies the values (to the link when
    // there is one) and stores them, then closes. On failure shows the message,
    // puts the focus on the field and stays open.
    void accept() override;
    void resetDefaults();

private:
    // The five number fields, in the order of the dialog.
    enum Field { CheckInterval, DelayBefore, DelayAfter, AckWaitCount, AckWaitInterval, FieldCount };

    SettingsStore& settings_;
    Prompt& prompt_;
    CQuorControl* link_;
    std::array<QLineEdit*, FieldCount> fields_{};
    QCheckBox* charDelay_ = nullptr;
};

} // namespace bm
