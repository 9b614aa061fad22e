// Test rigs for the control pages. FakeUnitRig runs the real device model and
// link over a FakeSerialPort, so every packet a page sends is seen byte for
// byte; SimUnitRig puts the simulated unit at the other end of a pseudo-terminal.
#pragma once

#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "tests/support/fake_serial_port.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/settings_keys.h"
#include "platform/termios_serial.h"
#include "sim/sim_server.h"
#include "tests/support/fast_timing.h"
#include "tests/support/program_rig.h"
#include "tests/support/sim_rig.h"
#include "ui/control_page.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLineEdit>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QWidget>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace bm::test {

using Bytes = std::vector<std::uint8_t>;

// Expected packets, written out by hand: F1, L + 3, code, L, data, F2.
inline Bytes packet(std::uint8_t code, std::initializer_list<std::uint8_t> data = {})
{
    Bytes bytes;
    bytes.reserve(data.size() + 5);
    bytes.push_back(0xF1);
    bytes.push_back(static_cast<std::uint8_t>(data.size() + 3));
    bytes.push_back(code);
    bytes.push_back(static_cast<std::uint8_t>(data.size()));
    for (std::uint8_t b : data)
        bytes.push_back(b);
    bytes.push_back(0xF2);
    return bytes;
}
inline Bytes irKey(std::uint8_t key)
{
    return packet(0x14, {key});
}
inline Bytes namePacket(std::uint8_t code, std::uint8_t first, const std::string& name)
{
    Bytes bytes{0xF1, static_cast<std::uint8_t>(name.size() + 5), code,
                static_cast<std::uint8_t>(name.size() + 2), first};
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.push_back(0x00);
    bytes.push_back(0xF2);
    return bytes;
}

inline QString hex(const std::vector<Bytes>& packets)
{
    QStringList list;
    for (const Bytes& p : packets) {
        QStringList bytes;
        for (std::uint8_t b : p)
            bytes << QString::asprintf("%02X", b);
        list << bytes.join(' ');
    }
    return list.join(" | ");
}

class FakeUnitRig : public ProgramRig {
public:
    FakeUnitRig()
    {
        storeFastTiming(settings);
        // The parameter waits give up quickly on a unit that never answers.
        settings.writeInt(keys::kComm, keys::kSaveConfigWaitCount.name, 2);
        settings.writeInt(keys::kComm, keys::kSaveConfigWaitInterval.name, 1);
        // An acknowledgement waiting on the line lets the link hear the unit at once.
        startOnFakeLine();
        // Nothing answers the sweep here; the pages' tests run outside it.
        link->state().StatusSweepActive = false;
        takeSent(); // the greeting and the sweep's first request
    }

    PageContext context() { return PageContext{model, settings, prompt}; }

    std::uint32_t commandsSent() const { return link->state().CommandsSent.load(); }

    // Every packet sent since the last call, once the writer has written them all.
    std::vector<Bytes> takeSent()
    {
        const std::uint32_t counted = commandsSent() - taken_;
        port.waitForWrites(counted, 5000);
        std::vector<Bytes> writes = port.writes();
        port.clearWrites();
        taken_ += static_cast<std::uint32_t>(writes.size());
        return writes;
    }

    // The unit's reports, handed to the model as the receiver would.
    void reportStatus(std::uint8_t volume, std::uint8_t mute, std::uint8_t balance, std::uint8_t frontBack)
    {
        route(DC_RESP_SYS_STATUS, {volume, 0, 0, 0, 0, mute, 0, balance, frontBack});
    }
    void reportZone2(std::uint8_t volume, std::uint8_t recordInput, std::uint8_t mute, std::uint8_t balance)
    {
        route(DC_RESP_REC_ZONE2_STATUS, {volume, recordInput, mute, 0, balance});
    }
    void reportInputName(std::uint8_t index, const std::string& name)
    {
        Bytes data{index};
        data.insert(data.end(), name.begin(), name.end());
        data.push_back(0);
        model.routePacket(framePacket(DC_RESP_INPUT_NAME, data.data(), data.size()));
    }
    void reportCustomName(const std::string& name)
    {
        Bytes data(name.begin(), name.end());
        data.push_back(0);
        model.routePacket(framePacket(DC_RESP_CUST_NAME, data.data(), data.size()));
    }
    // Gives the unit a parameter of the well-known name at `id`, with a value.
    void defineParam(NamedParam slot, std::uint8_t id, std::uint8_t value)
    {
        model.ResolveNamedParam(kNamedParamNames[static_cast<int>(slot)], id);
        model.storeParamValue(id, value);
    }

private:
    void route(std::uint8_t code, std::initializer_list<std::uint8_t> data)
    {
        model.routePacket(framePacket(code, data));
    }

    std::uint32_t taken_ = 0;
};

// The simulated unit on a pseudo-terminal, with the start-up sweep (and the
// definitions download) done.
class SimUnitRig : public SimRig {
public:
    explicit SimUnitRig(sim::SimOptions options = fastOptions()) : options_(options) {}

    static sim::SimOptions fastOptions()
    {
        sim::SimOptions options;
        options.fast = true;
        return options;
    }

    // False when the unit could not be reached or the sweep did not end.
    bool start() { return SimRig::start(options_, true); }

    PageContext context() { return PageContext{model, settings, prompt}; }

private:
    sim::SimOptions options_;
};

// A page shown as the sheet shows it: sized, exposed and activated.
inline void showAndActivate(ControlPage& page)
{
    page.resize(640, 440);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    page.onActivate();
}

// Repaints at once and delivers the redraw notices the paint posted.
inline void repaintNow(QWidget& widget)
{
    widget.repaint();
    QCoreApplication::processEvents();
}

template <typename T>
T* child(QWidget& page, const QString& name)
{
    T* widget = page.findChild<T*>(name);
    if (!widget)
        qFatal("no widget named %s", qPrintable(name));
    return widget;
}

// The style option a slider paints itself with (QSlider keeps its own
// initStyleOption protected), for finding where its parts are drawn.
inline QStyleOptionSlider sliderStyleOption(QSlider& slider)
{
    QStyleOptionSlider option;
    option.initFrom(&slider);
    option.orientation = slider.orientation();
    option.minimum = slider.minimum();
    option.maximum = slider.maximum();
    option.sliderPosition = slider.sliderPosition();
    option.sliderValue = slider.value();
    option.tickPosition = slider.tickPosition();
    option.tickInterval = slider.tickInterval();
    option.upsideDown = slider.orientation() == Qt::Horizontal
                            ? (slider.invertedAppearance() != (slider.layoutDirection() == Qt::RightToLeft))
                            : !slider.invertedAppearance();
    return option;
}

// A point on a slider's channel beyond its thumb, toward the range maximum
// or minimum, where a click pages the slider that way.
inline QPoint channelPoint(QSlider& slider, bool towardMaximum)
{
    const QStyleOptionSlider option = sliderStyleOption(slider);
    const QRect groove = slider.style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, &slider);
    const bool endIsMaximum = !option.upsideDown;
    const bool farEnd = towardMaximum == endIsMaximum;
    if (slider.orientation() == Qt::Horizontal)
        return {farEnd ? groove.right() - 2 : groove.left() + 2, groove.center().y()};
    return {groove.center().x(), farEnd ? groove.bottom() - 2 : groove.top() + 2};
}

// A button's caption as shown, without its mnemonic's '&' ("&&" is one '&').
inline QString captionOf(const QAbstractButton* button)
{
    QString text = button->text();
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    return text;
}

inline QString textOf(QWidget& page, const QString& name)
{
    return child<QLineEdit>(page, name)->text();
}

// Clicks a button where the user would: check boxes and radio buttons on
// their indicator, at the left, since a stretched box only reacts there or on its text.
inline void click(QWidget& page, const QString& name)
{
    auto* button = child<QAbstractButton>(page, name);
    const bool indicator = button->inherits("QCheckBox") || button->inherits("QRadioButton");
    QTest::mouseClick(button, Qt::LeftButton, {},
                      indicator ? QPoint(6, button->height() / 2) : button->rect().center());
}

} // namespace bm::test
