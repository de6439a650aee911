#pragma once
// TPollChart: the bar chart of one question's answers, keys 0-9 and the soft keys in chart
// order, labelled as digits or letters. The poll window, the presentation view and the history
// each show one. Hidden, it shows a caption instead of the bars (the answers are not revealed).

#include "session/PollSession.h"

#include <QWidget>

#include <array>

class QBarCategoryAxis;
class QBarSet;
class QChart;
class QChartView;
class QLabel;
class QStackedLayout;
class QValueAxis;

namespace kivra {

class TPollChart : public QWidget {
public:
    explicit TPollChart(QWidget* parent = nullptr);

    //! Shows a question's tally; the correct key, if marked, is drawn in another colour.
    void SetResults(const TQuestionResults& results, TKeyLabels labels);
    //! Large type for a projector.
    void SetLarge(bool large);
    //! Hidden: a caption instead of the bars.
    void SetBarsHidden(bool hidden);
    bool BarsHidden() const { return hidden_; }

    //! What the bars show, in chart order.
    std::array<int, KeyCount> Values() const;
    QStringList Categories() const;
    //! Chart index of the bar drawn as the correct answer, or -1.
    int HighlightedBar() const;
    //! Times the chart took new values (a repaint of the bars).
    int Updates() const { return updates_; }

private:
    QChart* chart_ = nullptr;
    QChartView* view_ = nullptr;
    QBarSet* set_ = nullptr;
    QBarCategoryAxis* axisX_ = nullptr;
    QValueAxis* axisY_ = nullptr;
    QLabel* hiddenLabel_ = nullptr;
    QStackedLayout* stack_ = nullptr;
    bool hidden_ = false;
    int updates_ = 0;
};

} // namespace kivra
