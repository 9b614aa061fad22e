// The three value-box formats, including the zero point's plus sign and the
// odd steps where integer halving and fifths could go wrong: n steps from the
// zero point of the volume, output-level and tilt scales.
#include "ui/level_text.h"

#include <QTest>

namespace bm {

class LevelTextTest : public QObject {
    Q_OBJECT
private slots:
    void formats_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("text");
        QTest::newRow("whole zero") << "whole" << 0 << "+0";
        QTest::newRow("whole top of volume") << "whole" << 12 << "+12";
        QTest::newRow("whole negative") << "whole" << -35 << "-35";
        QTest::newRow("whole bottom of volume") << "whole" << -80 << "-80";
        QTest::newRow("whole one below zero") << "whole" << -1 << "-1";
        QTest::newRow("half zero") << "half" << 0 << "+0.0";
        QTest::newRow("half one step") << "half" << 1 << "+0.5";
        QTest::newRow("half one step down") << "half" << -1 << "-0.5";
        QTest::newRow("half even") << "half" << 12 << "+6.0";
        QTest::newRow("half bottom of output") << "half" << -20 << "-10.0";
        QTest::newRow("half top of output") << "half" << 20 << "+10.0";
        QTest::newRow("half odd negative") << "half" << -13 << "-6.5";
        QTest::newRow("fifth zero") << "fifth" << 0 << "+0.0";
        QTest::newRow("fifth one step") << "fifth" << 1 << "+0.2";
        QTest::newRow("fifth one step down") << "fifth" << -1 << "-0.2";
        QTest::newRow("fifth four steps") << "fifth" << 4 << "+0.8";
        QTest::newRow("fifth seven down") << "fifth" << -7 << "-1.4";
        QTest::newRow("fifth top of tilt") << "fifth" << 15 << "+3.0";
        QTest::newRow("fifth bottom of tilt") << "fifth" << -15 << "-3.0";
        QTest::newRow("fifth past a whole") << "fifth" << 9 << "+1.8";
    }
    void formats()
    {
        QFETCH(QString, format);
        QFETCH(int, n);
        QFETCH(QString, text);
        const LevelScale& scale = format == "whole" ? kVolumeScale
                                  : format == "half" ? kOutputScale
                                                     : kTiltScale;
        QCOMPARE(valueBoxText(scale, scale.zero + n), text);
    }
};

} // namespace bm

QTEST_MAIN(bm::LevelTextTest)
#include "level_text_test.moc"
