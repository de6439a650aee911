#include "app/frmSessionHistory.h"

#include "app/Application.h"
#include "app/ArchiveThread.h"
#include "app/BlockingCall.h"
#include "app/PollChart.h"
#include "session/SessionArchive.h"
#include "session/SessionExport.h"

#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace kivra {

namespace {

QString LocalTime(qint64 ms)
{
    return ms == 0 ? QString()
                   : QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString CannotRead(const TSessionArchive& a)
{
    return QStringLiteral("The sessions cannot be read from %1: %2").arg(a.Location(), a.Error());
}

//! A read that takes longer than this shows that the window is busy.
constexpr int kBusyAfterMs = 200;

} // namespace

TfrmSessionHistory::TfrmSessionHistory(const QString& location, QWidget* parent)
    : QWidget(parent, Qt::Window), archive_(std::make_unique<TArchiveThread>(location))
{
    setWindowTitle(QStringLiteral("Poll History"));
    resize(900, 520);

    list_ = new QTableWidget(0, 5);
    list_->setHorizontalHeaderLabels({QStringLiteral("Title"), QStringLiteral("Started"),
                                      QStringLiteral("Ended"), QStringLiteral("Questions"),
                                      QStringLiteral("Answers")});
    list_->verticalHeader()->hide();
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 6);
    error_ = new QLabel;
    error_->setWordWrap(true);
    error_->setStyleSheet(QStringLiteral("color: #c00000"));
    error_->hide();

    auto* btnReload = new QPushButton(QStringLiteral("Refresh"));
    btnOpen_ = new QPushButton(QStringLiteral("Open"));
    btnDelete_ = new QPushButton(QStringLiteral("Delete..."));
    btnCsv_ = new QPushButton(QStringLiteral("Export CSV..."));
    btnGradebook_ = new QPushButton(QStringLiteral("Export Gradebook..."));
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {btnReload, btnOpen_, btnDelete_})
        buttons->addWidget(b);
    buttons->addStretch(1);

    auto* left = new QVBoxLayout;
    left->addWidget(list_, 1);
    left->addWidget(error_);
    left->addLayout(buttons);

    openedTitle_ = new QLabel(QStringLiteral("No session opened"));
    QFont bold = openedTitle_->font();
    bold.setBold(true);
    openedTitle_->setFont(bold);
    cboQuestion_ = new QComboBox;
    answered_ = new QLabel;
    chart_ = new TPollChart;
    auto* questionRow = new QHBoxLayout;
    questionRow->addWidget(cboQuestion_);
    questionRow->addWidget(answered_, 1);
    auto* exports = new QHBoxLayout;
    exports->addStretch(1);
    exports->addWidget(btnCsv_);
    exports->addWidget(btnGradebook_);
    auto* right = new QVBoxLayout;
    right->addWidget(openedTitle_);
    right->addLayout(questionRow);
    right->addWidget(chart_, 1);
    right->addLayout(exports);

    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left, 1);
    layout->addLayout(right, 1);

    connect(btnReload, &QPushButton::clicked, this, [this] { Guarded([this] { Reload(); }); });
    connect(btnOpen_, &QPushButton::clicked, this,
            [this] { Guarded([this] { OpenSession(SelectedId()); }); });
    connect(list_, &QTableWidget::cellDoubleClicked, this,
            [this] { Guarded([this] { OpenSession(SelectedId()); }); });
    connect(list_, &QTableWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
    connect(cboQuestion_, &QComboBox::activated, this, [this](int index) { ShowQuestion(index + 1); });
    connect(btnDelete_, &QPushButton::clicked, this, [this] {
        Guarded([this] {
            const qint64 id = SelectedId();
            if (!CanDelete(id))
                return;
            const QString title = list_->item(list_->currentRow(), 0)->text();
            if (QMessageBox::question(
                    this, windowTitle(),
                    QStringLiteral("Delete the session \"%1\" and all its answers?").arg(title)) ==
                QMessageBox::Yes)
                DeleteSession(id);
        });
    });
    const auto exportTo = [this](QPushButton* b, const QString& caption, bool gradebook) {
        connect(b, &QPushButton::clicked, this, [this, caption, gradebook] {
            Guarded([this, caption, gradebook] {
                if (!opened_)
                    return;
                const QString suggested = opened_->Title() + (gradebook ? QStringLiteral(" gradebook.csv")
                                                                        : QStringLiteral(" answers.csv"));
                const QString path = QFileDialog::getSaveFileName(
                    this, caption, QString(suggested).replace(QLatin1Char(':'), QLatin1Char('-')),
                    QStringLiteral("CSV files (*.csv)"));
                if (!path.isEmpty())
                    gradebook ? ExportGradebook(path) : ExportAnswers(path);
            });
        });
    };
    exportTo(btnCsv_, QStringLiteral("Export Answers"), false);
    exportTo(btnGradebook_, QStringLiteral("Export Gradebook"), true);
    busy_ = new QTimer(this);
    busy_->setSingleShot(true);
    busy_->setInterval(kBusyAfterMs);
    connect(busy_, &QTimer::timeout, this, [this] {
        setEnabled(false);
        setCursor(Qt::BusyCursor);
    });
    UpdateButtons();
}

TfrmSessionHistory::~TfrmSessionHistory()
{
    // Children signal while QWidget's destructor takes them down.
    list_->disconnect(this);
    cboQuestion_->disconnect(this);
}

bool TfrmSessionHistory::Reload()
{
    std::vector<TSessionSummary> sessions;
    bool opened = false;
    QString failure;
    Read([&](TSessionArchive& a) {
        opened = a.IsOpen() || a.Open();
        if (opened)
            sessions = a.ListSessions();
        if (!opened || (!a.Error().isEmpty() && sessions.empty()))
            failure = CannotRead(a);
    });
    const qint64 selected = SelectedId();
    sessions_ = std::move(sessions);
    list_->setRowCount(0);
    error_->setText(failure);
    error_->setVisible(!failure.isEmpty());
    list_->setRowCount(static_cast<int>(sessions_.size()));
    for (int row = 0; row < static_cast<int>(sessions_.size()); ++row) {
        const TSessionSummary& s = sessions_[static_cast<std::size_t>(row)];
        const bool recording = !recordingUid_.isEmpty() && s.Uid == recordingUid_;
        const QStringList cells{s.Title, LocalTime(s.StartedMs),
                                recording ? QStringLiteral("recording") : LocalTime(s.EndedMs),
                                QString::number(s.Questions), QString::number(s.Answers)};
        for (int c = 0; c < cells.size(); ++c)
            list_->setItem(row, c, new QTableWidgetItem(cells[c]));
        if (s.Id == selected)
            list_->selectRow(row);
    }
    UpdateButtons();
    return opened;
}

void TfrmSessionHistory::Read(const std::function<void(TSessionArchive&)>& call)
{
    // Input to this window is dropped until the archive has answered; the other windows go on.
    if (reading_++ == 0) {
        qApp->installEventFilter(this);
        busy_->start();
    }
    struct Restore {
        TfrmSessionHistory* w;
        ~Restore()
        {
            if (--w->reading_ > 0)
                return;
            qApp->removeEventFilter(w);
            w->busy_->stop();
            w->setEnabled(true);
            w->unsetCursor();
        }
    } restore{this};
    archive_->Run(call);
}

bool TfrmSessionHistory::eventFilter(QObject* watched, QEvent* event)
{
    if (reading_ > 0 && IsUserInput(event->type())) {
        const auto* w = qobject_cast<QWidget*>(watched);
        if (w != nullptr && w->window() == this)
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmSessionHistory::SetRecordingUid(const QString& uid)
{
    recordingUid_ = uid;
    UpdateButtons();
}

std::vector<qint64> TfrmSessionHistory::ListedIds() const
{
    std::vector<qint64> ids;
    for (const TSessionSummary& s : sessions_)
        ids.push_back(s.Id);
    return ids;
}

qint64 TfrmSessionHistory::SelectedId() const
{
    const int row = list_->currentRow();
    if (row < 0 || row >= static_cast<int>(sessions_.size()) || list_->selectedItems().isEmpty())
        return 0;
    return sessions_[static_cast<std::size_t>(row)].Id;
}

bool TfrmSessionHistory::CanDelete(qint64 id) const
{
    for (const TSessionSummary& s : sessions_)
        if (s.Id == id)
            return recordingUid_.isEmpty() || s.Uid != recordingUid_;
    return false;
}

void TfrmSessionHistory::UpdateButtons()
{
    const qint64 id = SelectedId();
    btnOpen_->setEnabled(id != 0);
    btnDelete_->setEnabled(id != 0 && CanDelete(id));
    btnCsv_->setEnabled(opened_.has_value());
    btnGradebook_->setEnabled(opened_.has_value());
    cboQuestion_->setEnabled(opened_ && !opened_->Questions().empty());
}

bool TfrmSessionHistory::OpenSession(qint64 id)
{
    if (id == 0)
        return false;
    std::optional<TPollSession> s;
    QString failure;
    Read([&](TSessionArchive& a) {
        s = a.LoadSession(id);
        if (!s)
            failure = QStringLiteral("The session cannot be read from %1: %2")
                          .arg(a.Location(),
                               a.Error().isEmpty() ? QStringLiteral("it no longer exists") : a.Error());
    });
    if (!s) {
        ShowMessage(failure);
        return false;
    }
    opened_ = std::move(s);
    openedTitle_->setText(
        QStringLiteral("%1 (%2, read-only)").arg(opened_->Title(), LocalTime(opened_->StartedMs())));
    cboQuestion_->clear();
    for (const TPollQuestion& q : opened_->Questions())
        cboQuestion_->addItem(QStringLiteral("Question %1").arg(q.Number));
    ShowQuestion(opened_->Questions().empty() ? 0 : 1);
    UpdateButtons();
    return true;
}

void TfrmSessionHistory::ShowQuestion(int number)
{
    if (!opened_)
        return;
    TQuestionResults r;
    if (number >= 1 && number <= opened_->CurrentQuestion()) {
        r = opened_->Results(number);
        cboQuestion_->setCurrentIndex(number - 1);
    }
    chart_->SetResults(r, opened_->Options().KeyLabels);
    QString text = QStringLiteral("%1 of %2 answered").arg(r.Answered).arg(r.Expected);
    if (r.CorrectKey != 0)
        text += QStringLiteral(", correct: %1").arg(KeyLabel(r.CorrectKey, opened_->Options().KeyLabels));
    if (const std::optional<double> percent = r.PercentRight())
        text += QStringLiteral(", %1 % right").arg(*percent, 0, 'f', 1);
    answered_->setText(text);
}

QString TfrmSessionHistory::AnsweredText() const
{
    return answered_->text();
}

QString TfrmSessionHistory::ErrorText() const
{
    return error_->isHidden() ? QString() : error_->text();
}

bool TfrmSessionHistory::DeleteSession(qint64 id)
{
    if (!CanDelete(id))
        return false;
    QString failure;
    Read([&](TSessionArchive& a) {
        if (!a.DeleteSession(id))
            failure =
                QStringLiteral("The session could not be deleted from %1: %2").arg(a.Location(), a.Error());
    });
    if (!failure.isEmpty()) {
        ShowMessage(failure);
        return false;
    }
    if (opened_ && opened_->Id() == id) {
        opened_.reset();
        openedTitle_->setText(QStringLiteral("No session opened"));
        cboQuestion_->clear();
        chart_->SetResults(TQuestionResults{}, TKeyLabels::klDigits);
        answered_->clear();
    }
    Reload();
    return true;
}

bool TfrmSessionHistory::WriteFile(const QString& path, const QByteArray& data)
{
    const QString failure = WriteWholeFile(path, data);
    if (!failure.isEmpty())
        ShowMessage(QStringLiteral("%1 could not be written: %2").arg(path, failure));
    return failure.isEmpty();
}

bool TfrmSessionHistory::ExportAnswers(const QString& path)
{
    return opened_ && WriteFile(path, AnswersCsv(*opened_));
}

bool TfrmSessionHistory::ExportGradebook(const QString& path)
{
    return opened_ && WriteFile(path, GradebookCsv(*opened_));
}

} // namespace kivra
