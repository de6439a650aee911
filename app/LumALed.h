#pragma once
// TLumALed: a small lamp that shows a lit or unlit colour, optionally blinking. The lamp colour is
// not in the images: a template with a pure-green body is recoloured by flood fill once per
// colour, shape or frame change, and painting is one stretched copy of a prepared image.

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <functional>

class QTimer;

namespace kivra {

//! A colour value: 0x00BBGGRR for a direct colour; with the top bit set, a system colour index.
using TColor = std::uint32_t;
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clYellow = 0x00FFFF;
inline constexpr TColor clSilver = 0xC0C0C0;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clBtnFace = 0x8000000F;

//! RGB of a colour value; system colours come from the palette (clBtnFace is the button colour).
QColor ColorToQColor(TColor color, const QPalette& palette);
//! The colour value of an RGB colour.
TColor RGBToColor(int red, int green, int blue);

enum class TLEDStyle : std::uint8_t {
    LEDSmall,
    LEDLarge,
    LEDSqSmall,
    LEDSqLarge,
    LEDVertical,
    LEDHorizontal
};

using TNotifyEvent = std::function<void(QObject* Sender)>;

class TLumALed : public QWidget {
public:
    explicit TLumALed(QWidget* owner = nullptr);
    ~TLumALed() override;

    TColor GetTrueColor() const { return TrueColor_; }
    void SetTrueColor(TColor value);
    TColor GetFalseColor() const { return FalseColor_; }
    void SetFalseColor(TColor value);
    TColor GetBorderColor() const { return BorderColor_; }
    void SetBorderColor(TColor value);
    bool GetBlink() const { return Blink_; }
    void SetBlink(bool value);
    bool GetBordered() const { return Bordered_; }
    void SetBordered(bool value);
    bool GetValue() const { return Value_; }
    void SetValue(bool value);
    int GetInterval() const { return Interval_; }
    void SetInterval(int value);
    TLEDStyle GetLEDStyle() const { return LEDStyle_; }
    void SetLEDStyle(TLEDStyle value);

    const TNotifyEvent& GetOnTimer() const { return OnTimer_; }
    void SetOnTimer(TNotifyEvent handler) { OnTimer_ = std::move(handler); }
    const TNotifyEvent& GetOnMouseEnter() const { return OnMouseEnter_; }
    void SetOnMouseEnter(TNotifyEvent handler) { OnMouseEnter_ = std::move(handler); }
    const TNotifyEvent& GetOnMouseLeave() const { return OnMouseLeave_; }
    void SetOnMouseLeave(TNotifyEvent handler) { OnMouseLeave_ = std::move(handler); }
    const TNotifyEvent& GetOnClick() const { return OnClick_; }
    void SetOnClick(TNotifyEvent handler) { OnClick_ = std::move(handler); }

    //! 0 while the true image shows, 1 while the false image shows.
    int Phase() const { return Phase_; }
    bool Blinking() const { return BlinkTimer_ != nullptr; }
    //! The prepared images (for inspection).
    const QImage& TrueImage() const { return TrueImage_; }
    const QImage& FalseImage() const { return FalseImage_; }
    //! Resource path of a style's template image.
    static QString ImageName(TLEDStyle style, bool bordered);
    static QSize StyleSize(TLEDStyle style);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void BuildBitmaps();
    void ShowTrue();
    void ShowFalse();
    void StartBlinking();
    void StopBlinking();
    void TimerTick();
    void SetColor(TColor& field, TColor value);
    void Notify(const TNotifyEvent& handler);

    QImage TrueImage_;
    QImage FalseImage_;
    QTimer* BlinkTimer_ = nullptr;
    TColor TrueColor_ = clLime;
    TColor FalseColor_ = clSilver;
    TColor BorderColor_ = clBtnFace;
    bool Blink_ = true;
    bool Bordered_ = true;
    TLEDStyle LEDStyle_ = TLEDStyle::LEDSmall;
    int Interval_ = 1000;
    bool Value_ = false;
    int Phase_ = 1;
    TNotifyEvent OnTimer_;
    TNotifyEvent OnMouseEnter_;
    TNotifyEvent OnMouseLeave_;
    TNotifyEvent OnClick_;
};

//! Four-connected flood fill: every pixel connected to start that has exactly the colour target
//! takes the colour fill. Nothing happens when the start pixel is not target or target == fill.
void FloodFillSurface(QImage& image, QPoint start, QRgb target, QRgb fill);

} // namespace kivra
