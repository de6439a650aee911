#include "app/frmPresentation.h"

#include "app/PollChart.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

namespace kivra {

TfrmPresentation::TfrmPresentation(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Poll Results"));
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    p.setColor(QPalette::WindowText, Qt::black);
    setPalette(p);

    QFont large = font();
    large.setPointSize(36);
    large.setBold(true);
    QFont medium = font();
    medium.setPointSize(28);

    title_ = new QLabel;
    title_->setFont(large);
    question_ = new QLabel;
    question_->setFont(medium);
    answered_ = new QLabel;
    answered_->setFont(medium);
    answered_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    chart_ = new TPollChart;
    chart_->SetLarge(true);

    auto* heading = new QHBoxLayout;
    heading->addWidget(question_);
    heading->addStretch(1);
    heading->addWidget(answered_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 24, 40, 24);
    layout->addWidget(title_);
    layout->addLayout(heading);
    layout->addWidget(chart_, 1);
    auto* hint = new QLabel(QStringLiteral("Esc closes this view"));
    hint->setStyleSheet(QStringLiteral("color: #999999"));
    layout->addWidget(hint, 0, Qt::AlignRight);
}

void TfrmPresentation::Show(const QString& title, const QString& question, const TQuestionResults& results,
                            TKeyLabels labels)
{
    title_->setText(title);
    question_->setText(question);
    QString answered = QStringLiteral("%1 of %2 answered").arg(results.Answered).arg(results.Expected);
    if (const std::optional<double> percent = results.PercentRight())
        answered += QStringLiteral(" \u2014 %1 % right").arg(*percent, 0, 'f', 0);
    answered_->setText(answered);
    chart_->SetResults(results, labels);
}

QString TfrmPresentation::AnsweredText() const
{
    return answered_->text();
}

QScreen* TfrmPresentation::ChooseScreen(const QWidget* from)
{
    QScreen* own = from ? from->screen() : QGuiApplication::primaryScreen();
    for (QScreen* s : QGuiApplication::screens())
        if (s != own)
            return s;
    return own;
}

void TfrmPresentation::ShowOnProjector(QWidget* from)
{
    if (QScreen* screen = ChooseScreen(from)) {
        setScreen(screen);
        setGeometry(screen->geometry());
    }
    showFullScreen();
    raise();
    activateWindow();
}

void TfrmPresentation::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace kivra
