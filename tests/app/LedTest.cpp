// The LED indicator, judged from its rendered pixels and its images.

#include "app/LumALed.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QImage>
#include <QPalette>
#include <gtest/gtest.h>

#include <set>
#include <vector>

using namespace kivra;
using namespace std::chrono_literals;

namespace {

QColor Pixel(QWidget& w, int x, int y)
{
    return w.grab().toImage().pixelColor(x, y);
}

QColor Centre(TLumALed& led)
{
    return Pixel(led, led.width() / 2, led.height() / 2);
}

const QColor kLime(0, 255, 0);
const QColor kSilver(192, 192, 192);
const QColor kRed(255, 0, 0);
const QColor kWhite(255, 255, 255);
const QColor kGrey(128, 128, 128);

struct StyleRow {
    TLEDStyle style;
    int width, height;
    const char* framed;
    const char* unframed;
};

const StyleRow kStyles[] = {
    {TLEDStyle::LEDSmall, 16, 16, "BSM", "NSM"},       {TLEDStyle::LEDLarge, 22, 22, "BLG", "NLG"},
    {TLEDStyle::LEDSqSmall, 16, 16, "BSQSM", "NSQSM"}, {TLEDStyle::LEDSqLarge, 22, 22, "BSQLG", "NSQLG"},
    {TLEDStyle::LEDVertical, 16, 22, "BVT", "NVT"},    {TLEDStyle::LEDHorizontal, 22, 16, "BHZ", "NHZ"},
};

// Pixels four-connected to start with exactly start's colour.
std::set<std::pair<int, int>> Region(const QImage& img, QPoint start)
{
    std::set<std::pair<int, int>> seen;
    const QRgb c = img.pixel(start);
    std::vector<QPoint> stack{start};
    while (!stack.empty()) {
        const QPoint p = stack.back();
        stack.pop_back();
        if (!img.rect().contains(p) || img.pixel(p) != c || !seen.insert({p.x(), p.y()}).second)
            continue;
        stack.push_back({p.x() + 1, p.y()});
        stack.push_back({p.x() - 1, p.y()});
        stack.push_back({p.x(), p.y() + 1});
        stack.push_back({p.x(), p.y() - 1});
    }
    return seen;
}

} // namespace

TEST(LedImages, EveryTemplateKeepsTheDrawingRules)
{
    const std::set<QRgb> palette{qRgb(0, 0, 0), qRgb(192, 192, 192), qRgb(128, 128, 128), qRgb(0, 255, 0),
                                 qRgb(255, 255, 255)};
    for (const StyleRow& row : kStyles) {
        for (bool framed : {true, false}) {
            SCOPED_TRACE(framed ? row.framed : row.unframed);
            const QImage img =
                QImage(TLumALed::ImageName(row.style, framed)).convertToFormat(QImage::Format_RGB32);
            ASSERT_FALSE(img.isNull());
            ASSERT_EQ(img.size(), QSize(row.width, row.height));
            int lime = 0;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x) {
                    EXPECT_TRUE(palette.count(img.pixel(x, y))) << x << "," << y;
                    lime += img.pixel(x, y) == qRgb(0, 255, 0);
                }
            // One connected lime body holding the centre pixel.
            const QPoint centre(img.width() / 2, img.height() / 2);
            ASSERT_EQ(img.pixel(centre), qRgb(0, 255, 0));
            EXPECT_EQ(static_cast<int>(Region(img, centre).size()), lime);
            const int w = img.width(), h = img.height();
            if (framed) {
                for (int x = 0; x < w; ++x) {
                    EXPECT_EQ(img.pixel(x, 0), qRgb(255, 255, 255));
                    EXPECT_EQ(img.pixel(x, h - 1), qRgb(128, 128, 128));
                }
                for (int y = 0; y < h - 1; ++y)
                    EXPECT_EQ(img.pixel(0, y), qRgb(255, 255, 255));
                for (int y = 1; y < h; ++y)
                    EXPECT_EQ(img.pixel(w - 1, y), qRgb(128, 128, 128));
            } else {
                // The background reaches all around the outline but not inside it.
                const auto background = Region(img, {0, 0});
                EXPECT_EQ(img.pixel(0, 0), qRgb(192, 192, 192));
                for (int x = 0; x < w; ++x) {
                    EXPECT_TRUE(background.count({x, 0}));
                    EXPECT_TRUE(background.count({x, h - 1}));
                }
                EXPECT_FALSE(background.count({centre.x(), centre.y()}));
            }
        }
    }
}

TEST(LedImages, FramedImageIsTheUnframedOneWithARaisedRing)
{
    for (const StyleRow& row : kStyles) {
        SCOPED_TRACE(row.framed);
        const QImage b = QImage(TLumALed::ImageName(row.style, true)).convertToFormat(QImage::Format_RGB32);
        const QImage n = QImage(TLumALed::ImageName(row.style, false)).convertToFormat(QImage::Format_RGB32);
        for (int y = 1; y < b.height() - 1; ++y)
            for (int x = 1; x < b.width() - 1; ++x)
                ASSERT_EQ(b.pixel(x, y), n.pixel(x, y)) << x << "," << y;
    }
}

TEST(LedFloodFill, FollowsOnlyFourConnectedPixelsOfTheExactColour)
{
    QImage img(4, 4, QImage::Format_RGB32);
    img.fill(qRgb(0, 0, 0));
    img.setPixel(0, 0, qRgb(0, 255, 0));
    img.setPixel(1, 0, qRgb(0, 255, 0));
    img.setPixel(2, 1, qRgb(0, 255, 0)); // touches (1,0) only diagonally
    img.setPixel(0, 1, qRgb(0, 254, 0)); // near but not the same colour
    FloodFillSurface(img, {0, 0}, qRgb(0, 255, 0), qRgb(255, 0, 0));
    EXPECT_EQ(img.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(img.pixel(1, 0), qRgb(255, 0, 0));
    EXPECT_EQ(img.pixel(2, 1), qRgb(0, 255, 0));
    EXPECT_EQ(img.pixel(0, 1), qRgb(0, 254, 0));
    // A start pixel of another colour changes nothing.
    FloodFillSurface(img, {3, 3}, qRgb(0, 255, 0), qRgb(0, 0, 255));
    EXPECT_EQ(img.pixel(3, 3), qRgb(0, 0, 0));
}

TEST(LedControl, NewControlIsSmallUnlitFramedWithASilverLamp)
{
    TLumALed led;
    EXPECT_EQ(led.size(), QSize(16, 16));
    EXPECT_FALSE(led.GetValue());
    EXPECT_TRUE(led.GetBordered());
    EXPECT_TRUE(led.GetBlink());
    EXPECT_EQ(led.GetInterval(), 1000);
    EXPECT_EQ(led.Phase(), 1);
    EXPECT_FALSE(led.Blinking());
    EXPECT_EQ(Centre(led), kSilver);
    EXPECT_EQ(Pixel(led, 0, 0), kWhite);
    EXPECT_EQ(Pixel(led, 15, 15), kGrey);
}

TEST(LedControl, SizeAndImageFollowTheStyle)
{
    TLumALed led;
    for (const StyleRow& row : kStyles) {
        SCOPED_TRACE(row.framed);
        led.SetLEDStyle(row.style);
        EXPECT_EQ(led.size(), QSize(row.width, row.height));
        EXPECT_TRUE(TLumALed::ImageName(row.style, true).endsWith(QString::fromLatin1(row.framed) + ".xpm"));
        EXPECT_TRUE(
            TLumALed::ImageName(row.style, false).endsWith(QString::fromLatin1(row.unframed) + ".xpm"));
        // The unlit lamp is silver at the centre pixel in every shape.
        EXPECT_EQ(Centre(led), kSilver);
    }
}

TEST(LedControl, LitAndUnlitColoursAreRendered)
{
    TLumALed led;
    led.SetBlink(false);
    led.SetFalseColor(clRed);
    EXPECT_EQ(Centre(led), kRed);
    led.SetValue(true);
    EXPECT_EQ(led.Phase(), 0);
    EXPECT_EQ(Centre(led), kLime);
    led.SetTrueColor(RGBToColor(10, 20, 30));
    EXPECT_EQ(Centre(led), QColor(10, 20, 30));
    // The highlight pixels inside the body keep their colour.
    led.SetLEDStyle(TLEDStyle::LEDSmall);
    EXPECT_EQ(Pixel(led, 5, 5), kWhite);
    led.SetValue(false);
    EXPECT_EQ(Centre(led), kRed);
}

TEST(LedControl, LimeColourLeavesTheTemplateBodyUnchanged)
{
    TLumALed led;
    led.SetTrueColor(clLime);
    const QImage templ =
        QImage(TLumALed::ImageName(TLEDStyle::LEDSmall, true)).convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(led.TrueImage(), templ);
}

TEST(LedControl, BackgroundIsRecolouredOnlyWhenNotFramed)
{
    TLumALed led;
    const QImage framedBefore = led.FalseImage();
    led.SetBorderColor(clRed);
    EXPECT_EQ(led.FalseImage(), framedBefore); // rebuilt, nothing visible changes
    EXPECT_EQ(Pixel(led, 0, 0), kWhite);

    led.SetBordered(false);
    EXPECT_EQ(Pixel(led, 0, 0), kRed);
    EXPECT_EQ(Pixel(led, 15, 15), kRed);
    EXPECT_EQ(Centre(led), kSilver);
    // Silver inside the outline is not background.
    const QImage n =
        QImage(TLumALed::ImageName(TLEDStyle::LEDSmall, false)).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(n.pixel(11, 4), qRgb(192, 192, 192));
    EXPECT_EQ(Pixel(led, 11, 4), kSilver);

    led.SetBorderColor(clBtnFace);
    EXPECT_EQ(Pixel(led, 0, 0), led.palette().color(QPalette::Button));
}

TEST(LedControl, BlinksWithItsIntervalAndReportsEveryToggle)
{
    TLumALed led;
    led.SetInterval(60);
    int ticks = 0;
    std::vector<qint64> times;
    QElapsedTimer clock;
    clock.start();
    led.SetOnTimer([&](QObject* sender) {
        EXPECT_EQ(sender, &led);
        ++ticks;
        times.push_back(clock.elapsed());
    });
    led.SetValue(true);
    EXPECT_TRUE(led.Blinking());
    EXPECT_EQ(led.Phase(), 0);
    EXPECT_EQ(Centre(led), kLime);
    ASSERT_TRUE(test::WaitUntil([&] { return ticks >= 1; }, 2s));
    EXPECT_EQ(led.Phase(), 1);
    EXPECT_EQ(Centre(led), kSilver);
    ASSERT_TRUE(test::WaitUntil([&] { return ticks >= 6; }, 3s));
    // Never faster than the interval (timers only run late).
    const double mean =
        static_cast<double>(times.back() - times.front()) / static_cast<double>(times.size() - 1);
    EXPECT_GE(mean, 50.0);

    led.SetValue(false);
    EXPECT_FALSE(led.Blinking());
    EXPECT_EQ(led.Phase(), 1);
    const int after = ticks;
    test::ProcessEventsFor(200ms);
    EXPECT_EQ(ticks, after);
}

TEST(LedControl, NewIntervalTakesEffectAtOnce)
{
    TLumALed led;
    int ticks = 0;
    led.SetOnTimer([&](QObject*) { ++ticks; });
    led.SetValue(true); // 1000 ms
    led.SetInterval(40);
    led.SetInterval(40);
    EXPECT_TRUE(test::WaitUntil([&] { return ticks >= 3; }, 900ms));
}

TEST(LedControl, BlinkSetterStartsAndStopsOnlyWhileLit)
{
    TLumALed led;
    led.SetBlink(false);
    led.SetValue(true);
    EXPECT_FALSE(led.Blinking());
    EXPECT_EQ(led.Phase(), 0);
    led.SetBlink(true);
    EXPECT_TRUE(led.Blinking());
    led.SetBlink(false);
    EXPECT_FALSE(led.Blinking());
    EXPECT_EQ(Centre(led), kLime);
    led.SetValue(false);
    led.SetBlink(true);
    EXPECT_FALSE(led.Blinking());
}

TEST(LedControl, ColourChangeWhileBlinkingRestartsWithTheTrueImage)
{
    // The polling LED: true colour silver, false colour lime, alternating.
    TLumALed led;
    led.SetInterval(50);
    led.SetFalseColor(clLime);
    led.SetTrueColor(clRed);
    led.SetValue(true);
    ASSERT_TRUE(test::WaitUntil([&] { return led.Phase() == 1; }, 2s));
    EXPECT_EQ(Centre(led), kLime);
    led.SetTrueColor(clSilver);
    EXPECT_TRUE(led.Blinking());
    EXPECT_EQ(led.Phase(), 0);
    EXPECT_EQ(Centre(led), kSilver);
    std::set<QRgb> seen;
    test::WaitUntil(
        [&] {
            seen.insert(Centre(led).rgb());
            return seen.size() >= 2;
        },
        2s);
    EXPECT_EQ(seen, (std::set<QRgb>{kSilver.rgb(), kLime.rgb()}));
}

TEST(LedControl, MouseEnterAndLeaveAreReported)
{
    TLumALed led;
    int enter = 0, leave = 0;
    led.SetOnMouseEnter([&](QObject* s) { enter += s == &led; });
    led.SetOnMouseLeave([&](QObject* s) { leave += s == &led; });
    QEnterEvent in(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QApplication::sendEvent(&led, &in);
    QEvent out(QEvent::Leave);
    QApplication::sendEvent(&led, &out);
    EXPECT_EQ(enter, 1);
    EXPECT_EQ(leave, 1);
}
