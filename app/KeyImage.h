#pragma once
// TKeyImage: a key picture laid over the keypad drawing of the configuration dialog. Click =
// press and release inside it; a disabled image ignores clicks and is shown dimmed.

#include <QLabel>

#include <functional>

namespace kivra {

class TKeyImage : public QLabel {
public:
    explicit TKeyImage(QWidget* parent = nullptr);
    std::function<void()> OnClick;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool Pressed_ = false;
};

} // namespace kivra
