#pragma once
// TfrmPresentation: the chart full screen with large type, for a projector: on a second screen
// when there is one, else on the screen of the window that opened it. Esc closes it.

#include "session/PollSession.h"

#include <QWidget>

class QLabel;
class QScreen;

namespace kivra {

class TPollChart;

class TfrmPresentation : public QWidget {
public:
    explicit TfrmPresentation(QWidget* parent = nullptr);

    void Show(const QString& title, const QString& question, const TQuestionResults& results,
              TKeyLabels labels);
    //! Full screen on the projector's screen (see ChooseScreen).
    void ShowOnProjector(QWidget* from);
    //! Another screen than the one of `from` when there is one.
    static QScreen* ChooseScreen(const QWidget* from);

    TPollChart* Chart() const { return chart_; }
    QString AnsweredText() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QLabel* title_ = nullptr;
    QLabel* question_ = nullptr;
    QLabel* answered_ = nullptr;
    TPollChart* chart_ = nullptr;
};

} // namespace kivra
