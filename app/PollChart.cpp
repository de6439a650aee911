#include "app/PollChart.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QStackedLayout>
#include <QValueAxis>

#include <algorithm>

namespace kivra {

TPollChart::TPollChart(QWidget* parent) : QWidget(parent)
{
    chart_ = new QChart;
    chart_->legend()->hide();
    chart_->setAnimationOptions(QChart::NoAnimation);
    chart_->setMargins(QMargins(4, 4, 4, 4));

    // One set; the correct key's bar is "selected" and drawn in green.
    set_ = new QBarSet(QStringLiteral("Answers"));
    set_->setColor(QColor(0x33, 0x66, 0xcc));
    set_->setSelectedColor(QColor(0x22, 0x99, 0x33));
    auto* series = new QBarSeries;
    series->append(set_);
    series->setBarWidth(0.9);
    series->setLabelsVisible(true);
    series->setLabelsPosition(QAbstractBarSeries::LabelsInsideEnd);
    series->setLabelsFormat(QStringLiteral("@value"));
    set_->setLabelColor(Qt::white);
    chart_->addSeries(series);

    axisX_ = new QBarCategoryAxis;
    axisY_ = new QValueAxis;
    axisY_->setLabelFormat(QStringLiteral("%d"));
    axisY_->setRange(0, 1);
    axisY_->setTickCount(2);
    chart_->addAxis(axisX_, Qt::AlignBottom);
    chart_->addAxis(axisY_, Qt::AlignLeft);
    series->attachAxis(axisX_);
    series->attachAxis(axisY_);

    view_ = new QChartView(chart_);
    view_->setRenderHint(QPainter::Antialiasing);
    hiddenLabel_ = new QLabel(QStringLiteral("The chart is hidden."));
    hiddenLabel_->setAlignment(Qt::AlignCenter);

    stack_ = new QStackedLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);
    stack_->addWidget(view_);
    stack_->addWidget(hiddenLabel_);

    SetResults(TQuestionResults{}, TKeyLabels::klDigits);
    updates_ = 0;
}

void TPollChart::SetResults(const TQuestionResults& results, TKeyLabels labels)
{
    const std::array<char, KeyCount> keys = ChartKeys(labels);
    QStringList categories;
    QList<qreal> counts;
    int most = 0;
    int rightIndex = -1;
    for (const char key : keys) {
        if (results.CorrectKey != 0 && key == results.CorrectKey)
            rightIndex = static_cast<int>(counts.size());
        // Axis labels are rich text: "<" must be escaped.
        categories << KeyLabel(key, labels).toHtmlEscaped();
        const int n = results.Tally[static_cast<std::size_t>(KeyIndex(key))];
        counts << n;
        most = std::max(most, n);
    }
    if (axisX_->categories() != categories) {
        axisX_->clear();
        axisX_->append(categories);
    }
    if (set_->count() != counts.size()) {
        set_->remove(0, set_->count());
        set_->append(counts);
    } else {
        for (int i = 0; i < counts.size(); ++i)
            if (set_->at(i) != counts[i])
                set_->replace(i, counts[i]);
    }
    set_->deselectAllBars();
    if (rightIndex >= 0)
        set_->selectBar(rightIndex);
    // Room above the tallest bar for its label; whole numbers on the axis.
    const int top = std::max(1, most + std::max(1, most / 8));
    axisY_->setRange(0, top);
    axisY_->setTickCount(std::min(top, 10) + 1);
    ++updates_;
}

void TPollChart::SetLarge(bool large)
{
    QFont axisFont = font();
    axisFont.setPointSize(large ? 28 : 9);
    axisFont.setBold(large);
    axisX_->setLabelsFont(axisFont);
    QFont valueFont = font();
    valueFont.setPointSize(large ? 18 : 8);
    axisY_->setLabelsFont(valueFont);
    QFont barFont = font();
    barFont.setPointSize(large ? 24 : 8);
    set_->setLabelFont(barFont);
    QFont hiddenFont = font();
    hiddenFont.setPointSize(large ? 40 : 12);
    hiddenLabel_->setFont(hiddenFont);
}

void TPollChart::SetBarsHidden(bool hidden)
{
    hidden_ = hidden;
    stack_->setCurrentWidget(hidden ? static_cast<QWidget*>(hiddenLabel_) : view_);
}

int TPollChart::HighlightedBar() const
{
    const QList<int> selected = set_->selectedBars();
    return selected.isEmpty() ? -1 : selected.front();
}

std::array<int, KeyCount> TPollChart::Values() const
{
    std::array<int, KeyCount> values{};
    for (int i = 0; i < KeyCount && i < set_->count(); ++i)
        values[static_cast<std::size_t>(i)] = static_cast<int>(set_->at(i));
    return values;
}

QStringList TPollChart::Categories() const
{
    QStringList labels;
    for (const QString& c : axisX_->categories())
        labels << QString(c)
                      .replace(QStringLiteral("&lt;"), QStringLiteral("<"))
                      .replace(QStringLiteral("&gt;"), QStringLiteral(">"))
                      .replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return labels;
}

} // namespace kivra
