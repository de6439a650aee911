#include "app/frmPoll.h"

#include "app/Application.h"
#include "app/PollChart.h"
#include "app/WindowSettings.h"
#include "app/frmPresentation.h"
#include "app/frmSessionHistory.h"
#include "control/Kivra.h"
#include "session/SessionRecorder.h"
#include "session/SessionStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <optional>

namespace kivra {

namespace {

std::optional<QString>& LocationOverride()
{
    static std::optional<QString> location;
    return location;
}

QString ElapsedText(qint64 ms)
{
    const qint64 s = std::max<qint64>(0, ms) / 1000;
    return QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString TfrmPoll::StoreLocation()
{
    if (LocationOverride())
        return *LocationOverride();
    return QSettings(WindowSettingsPath(), QSettings::IniFormat)
        .value(QStringLiteral("session/database"))
        .toString();
}

void TfrmPoll::SetStoreLocationOverride(const QString& location)
{
    LocationOverride() = location;
}

TfrmPoll::TfrmPoll(TKivra& kivra, std::function<int()> expected, std::function<void()> startPolling,
                   QWidget* parent)
    : QWidget(parent, Qt::Window), kivra_(kivra), expected_(std::move(expected)),
      startPolling_(std::move(startPolling))
{
    setWindowTitle(QStringLiteral("Poll"));
    resize(820, 560);

    // Session: title, labels, counting rule, roster.
    edtTitle_ = new QLineEdit(TPollSession::DefaultTitle());
    cboLabels_ = new QComboBox;
    cboLabels_->addItems({QStringLiteral("Digits 0-9"), QStringLiteral("Letters A-J")});
    chkFirstOnly_ = new QCheckBox(QStringLiteral("First answer only"));
    btnRoster_ = new QPushButton(QStringLiteral("Roster..."));
    btnSerials_ = new QPushButton(QStringLiteral("Read Serials"));
    btnSerials_->setToolTip(QStringLiteral("Ask the keypads for their serial numbers, so that names "
                                           "listed by serial follow their keypads"));
    lblRoster_ = new QLabel(QStringLiteral("No roster"));
    auto* sessionRow = new QHBoxLayout;
    sessionRow->addWidget(new QLabel(QStringLiteral("Title:")));
    sessionRow->addWidget(edtTitle_, 1);
    sessionRow->addWidget(cboLabels_);
    sessionRow->addWidget(chkFirstOnly_);
    auto* rosterRow = new QHBoxLayout;
    rosterRow->addWidget(btnRoster_);
    rosterRow->addWidget(btnSerials_);
    rosterRow->addWidget(lblRoster_, 1);

    // Questions.
    btnStart_ = new QPushButton(QStringLiteral("Start Question 1"));
    btnClose_ = new QPushButton(QStringLiteral("Close Question"));
    btnEnd_ = new QPushButton(QStringLiteral("End Session"));
    cboCorrect_ = new QComboBox;
    btnHide_ = new QPushButton(QStringLiteral("Hide Chart"));
    btnPresent_ = new QPushButton(QStringLiteral("Present"));
    btnHistory_ = new QPushButton(QStringLiteral("History..."));
    auto* questionRow = new QHBoxLayout;
    questionRow->addWidget(btnStart_);
    questionRow->addWidget(btnClose_);
    questionRow->addWidget(btnEnd_);
    questionRow->addSpacing(12);
    questionRow->addWidget(new QLabel(QStringLiteral("Correct:")));
    questionRow->addWidget(cboCorrect_);
    questionRow->addStretch(1);
    questionRow->addWidget(btnHide_);
    questionRow->addWidget(btnPresent_);
    questionRow->addWidget(btnHistory_);

    // Live figures.
    lblQuestion_ = new QLabel;
    lblAnswered_ = new QLabel;
    lblElapsed_ = new QLabel;
    lblPercent_ = new QLabel;
    QFont big = font();
    if (big.pointSizeF() > 0)
        big.setPointSizeF(big.pointSizeF() * 1.5);
    else
        big.setPixelSize(big.pixelSize() * 3 / 2);
    big.setBold(true);
    for (QLabel* l : {lblQuestion_, lblAnswered_, lblElapsed_, lblPercent_})
        l->setFont(big);
    auto* figures = new QHBoxLayout;
    figures->addWidget(lblQuestion_);
    figures->addStretch(1);
    figures->addWidget(lblAnswered_);
    figures->addStretch(1);
    figures->addWidget(lblElapsed_);
    figures->addStretch(1);
    figures->addWidget(lblPercent_);

    chart_ = new TPollChart;
    table_ = new QTableWidget(0, 3);
    table_->setHorizontalHeaderLabels(
        {QStringLiteral("Keypad"), QStringLiteral("Name"), QStringLiteral("Key")});
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    table_->setColumnWidth(0, 56);
    table_->setColumnWidth(2, 40);
    table_->setMinimumWidth(240);
    auto* results = new QHBoxLayout;
    results->addWidget(chart_, 3);
    results->addWidget(table_, 1);

    lblStore_ = new QLabel;
    lblStore_->setWordWrap(true);
    lblStore_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(sessionRow);
    layout->addLayout(rosterRow);
    layout->addLayout(questionRow);
    layout->addLayout(figures);
    layout->addLayout(results, 1);
    layout->addWidget(lblStore_);

    const auto clicked = [this](QPushButton* b, auto action) {
        connect(b, &QPushButton::clicked, this,
                [this, action] { Guarded([this, action] { action(this); }); });
    };
    clicked(btnStart_, [](TfrmPoll* w) { w->StartQuestion(); });
    clicked(btnClose_, [](TfrmPoll* w) { w->CloseQuestion(); });
    clicked(btnEnd_, [](TfrmPoll* w) { w->EndSession(); });
    clicked(btnHide_, [](TfrmPoll* w) { w->SetChartHidden(!w->chart_->BarsHidden()); });
    clicked(btnPresent_, [](TfrmPoll* w) { w->ShowPresentation(); });
    clicked(btnHistory_, [](TfrmPoll* w) { w->ShowHistory(); });
    clicked(btnSerials_, [](TfrmPoll* w) { w->ReadSerials(); });
    clicked(btnRoster_, [](TfrmPoll* w) {
        const QString path = QFileDialog::getOpenFileName(w, QStringLiteral("Import Roster"), QString(),
                                                          QStringLiteral("CSV files (*.csv);;All files (*)"));
        if (!path.isEmpty())
            w->ImportRoster(path);
    });
    connect(cboCorrect_, &QComboBox::activated, this, [this](int index) {
        Guarded([this, index] { SetCorrectKey(static_cast<char>(cboCorrect_->itemData(index).toInt())); });
    });
    connect(cboLabels_, &QComboBox::currentIndexChanged, this, [this] {
        FillCorrectKeys();
        dirty_ = true;
        Refresh();
    });
    connect(edtTitle_, &QLineEdit::editingFinished, this, [this] {
        if (SessionRunning() && edtTitle_->text() != recorder_->Session().Title())
            recorder_->SetTitle(edtTitle_->text());
    });

    refresh_ = new QTimer(this);
    refresh_->setInterval(kRefreshMs);
    connect(refresh_, &QTimer::timeout, this, [this] { Tick(); });
    refresh_->start();

    HookEvents();
    FillCorrectKeys();
    UpdateButtons();
    Refresh();
}

TfrmPoll::~TfrmPoll()
{
    // Children signal while QWidget's destructor takes them down (focus out: editingFinished).
    for (QObject* control : std::initializer_list<QObject*>{edtTitle_, cboLabels_, cboCorrect_})
        control->disconnect(this);
    // A session still running ends with the program; the store writes what waits (Close).
    if (recorder_ && !recorder_->Session().IsEnded())
        recorder_->End();
}

void TfrmPoll::HookEvents()
{
    // Chained after the handlers already bound; the window may go first (a QPointer guards it).
    QPointer<TfrmPoll> self(this);
    kivra_.SetOnKeypadDataReceived([self, prev = kivra_.GetOnKeypadDataReceived()](int id, int value) {
        if (prev)
            prev(id, value);
        if (self)
            self->Answer(id, KeyFromDigit(value));
    });
    kivra_.SetOnSoftkeyDataReceived(
        [self, prev = kivra_.GetOnSoftkeyDataReceived()](int id, const std::string& key) {
            if (prev)
                prev(id, key);
            if (self && key.size() == 1)
                self->Answer(id, key[0]);
        });
    kivra_.SetOnKeypadSerialNumber(
        [self, prev = kivra_.GetOnKeypadSerialNumber()](int id, const std::string& serial,
                                                        const std::string& version, int battery, bool end) {
            if (prev)
                prev(id, serial, version, battery, end);
            if (self)
                self->SerialReported(id, serial);
        });
}

void TfrmPoll::Answer(int keypad, char key)
{
    if (!recorder_)
        return;
    const TAnswerFate fate = recorder_->Answer(keypad, key);
    if (fate == TAnswerFate::afOpen)
        dirty_ = true;
}

void TfrmPoll::SerialReported(int keypad, const std::string& serial)
{
    const QString text = QString::fromLatin1(serial.c_str()).trimmed().toUpper();
    if (!TRoster::IsSerial(text))
        return;
    serials_[keypad] = text;
    if (recorder_ && !recorder_->Session().IsEnded())
        recorder_->KeypadSerialNumber(keypad, text.toStdString());
    dirty_ = true;
}

TKeyLabels TfrmPoll::Labels() const
{
    if (SessionRunning())
        return recorder_->Session().Options().KeyLabels;
    return cboLabels_->currentIndex() == 1 ? TKeyLabels::klLetters : TKeyLabels::klDigits;
}

const TPollSession* TfrmPoll::Session() const
{
    return recorder_ ? &recorder_->Session() : nullptr;
}

bool TfrmPoll::SessionRunning() const
{
    return recorder_ && !recorder_->Session().IsEnded();
}

// --- Session and questions ---------------------------------------------------------------------

void TfrmPoll::StartSession()
{
    if (!store_) {
        store_ = std::make_unique<TSessionStore>(StoreLocation());
        connect(store_.get(), &TSessionStore::StoreFailed, this,
                [this](const QString& m) { StoreProblem(m); });
        connect(store_.get(), &TSessionStore::StoreRecovered, this,
                [this](const QString& m) { StoreBack(m); });
        lblStore_->setText(QStringLiteral("Recording to %1").arg(store_->Location()));
    }
    TSessionOptions options;
    options.KeyLabels = cboLabels_->currentIndex() == 1 ? TKeyLabels::klLetters : TKeyLabels::klDigits;
    options.FirstAnswerOnly = chkFirstOnly_->isChecked();
    QString title = edtTitle_->text().trimmed();
    if (title.isEmpty())
        title = TPollSession::DefaultTitle();
    edtTitle_->setText(title);
    recorder_ = std::make_unique<TSessionRecorder>(store_.get(), title, options);
    recorder_->SetExpectedKeypads(expected_ ? expected_() : 0);
    recorder_->SetRoster(roster_);
    for (const auto& [keypad, serial] : serials_)
        recorder_->KeypadSerialNumber(keypad, serial.toStdString());
    recorder_->Start();
}

void TfrmPoll::StartQuestion()
{
    if (!SessionRunning())
        StartSession();
    const int number = recorder_->OpenQuestion();
    if (number == 0)
        return;
    // Keypad timestamps count from here; answers need polling.
    kivra_.BeginQuestion(number);
    if (!kivra_.GetPolling() && startPolling_)
        startPolling_();
    FillCorrectKeys();
    dirty_ = true;
    UpdateButtons();
    Refresh();
}

void TfrmPoll::CloseQuestion()
{
    if (recorder_ && recorder_->CloseQuestion()) {
        dirty_ = true;
        UpdateButtons();
        Refresh();
    }
}

void TfrmPoll::EndSession()
{
    if (!SessionRunning())
        return;
    recorder_->End();
    // A fresh title for the next session.
    edtTitle_->setText(TPollSession::DefaultTitle());
    dirty_ = true;
    UpdateButtons();
    Refresh();
}

void TfrmPoll::SetCorrectKey(char key)
{
    if (!recorder_ || recorder_->Session().CurrentQuestion() == 0)
        return;
    recorder_->SetCorrectKey(recorder_->Session().CurrentQuestion(), key);
    const int index = cboCorrect_->findData(static_cast<int>(key));
    if (index >= 0)
        cboCorrect_->setCurrentIndex(index);
    dirty_ = true;
    Refresh();
}

void TfrmPoll::SetChartHidden(bool hidden)
{
    chart_->SetBarsHidden(hidden);
    if (presentation_)
        presentation_->Chart()->SetBarsHidden(hidden);
    btnHide_->setText(hidden ? QStringLiteral("Reveal Chart") : QStringLiteral("Hide Chart"));
}

void TfrmPoll::FillCorrectKeys()
{
    const TKeyLabels labels = Labels();
    char current = 0;
    if (const TPollSession* s = Session(); s && s->CurrentQuestion() > 0)
        current = s->Question(s->CurrentQuestion())->CorrectKey;
    cboCorrect_->clear();
    cboCorrect_->addItem(QStringLiteral("(none)"), 0);
    for (const char key : ChartKeys(labels))
        cboCorrect_->addItem(KeyLabel(key, labels), static_cast<int>(key));
    cboCorrect_->setCurrentIndex(std::max(0, cboCorrect_->findData(static_cast<int>(current))));
}

void TfrmPoll::UpdateButtons()
{
    const bool running = SessionRunning();
    const TPollSession* s = Session();
    const bool open = running && s->IsQuestionOpen();
    btnStart_->setText(QStringLiteral("Start Question %1").arg(running ? s->CurrentQuestion() + 1 : 1));
    btnClose_->setEnabled(open);
    btnEnd_->setEnabled(running);
    cboCorrect_->setEnabled(running && s->CurrentQuestion() > 0);
    // Options and roster belong to a session: fixed while it runs.
    cboLabels_->setEnabled(!running);
    chkFirstOnly_->setEnabled(!running);
    btnRoster_->setEnabled(!running);
    // The serial request would end the question's timestamp mode.
    btnSerials_->setEnabled(!open);
    if (history_)
        history_->SetRecordingUid(running ? s->Uid() : QString());
}

// --- Roster and serials ------------------------------------------------------------------------

bool TfrmPoll::ImportRoster(const QString& path)
{
    TRoster roster;
    std::vector<TRosterError> errors;
    if (!TRoster::Load(path, roster, errors)) {
        QStringList lines;
        for (const TRosterError& e : errors)
            lines << TRoster::Describe(e);
        ShowMessage(
            QStringLiteral("The roster %1 was not imported:\n%2").arg(path, lines.join(QLatin1Char('\n'))));
        return false;
    }
    roster_ = std::move(roster);
    int bySerial = 0;
    for (const TRosterEntry& e : roster_.Entries())
        bySerial += e.Serial.isEmpty() ? 0 : 1;
    lblRoster_->setText(
        QStringLiteral("Roster: %1 students (%2 by serial number)").arg(roster_.Size()).arg(bySerial));
    dirty_ = true;
    Refresh();
    return true;
}

QString TfrmPoll::KnownSerial(int keypad) const
{
    const auto it = serials_.find(keypad);
    return it == serials_.end() ? QString() : it->second;
}

void TfrmPoll::ReadSerials()
{
    kivra_.CollectKeypadSerialNumbers();
    kivra_.RequestKeypadSerialNumbers();
}

// --- Store -------------------------------------------------------------------------------------

void TfrmPoll::StoreProblem(const QString& message)
{
    lblStore_->setText(
        QStringLiteral("<span style='color:#c00000'>Not saved: %1</span>").arg(message.toHtmlEscaped()));
    ShowMessage(
        QStringLiteral("The answers cannot be saved: %1\n\nPolling goes on. The answers are kept in memory "
                       "and written as soon as the store works again.")
            .arg(message));
}

void TfrmPoll::StoreBack(const QString& message)
{
    lblStore_->setText(message);
}

// --- Views -------------------------------------------------------------------------------------

void TfrmPoll::ShowPresentation()
{
    if (!presentation_)
        presentation_ = new TfrmPresentation(this);
    presentation_->Chart()->SetBarsHidden(chart_->BarsHidden());
    dirty_ = true;
    Refresh();
    presentation_->ShowOnProjector(this);
}

void TfrmPoll::ShowHistory()
{
    if (!history_)
        history_ = new TfrmSessionHistory(StoreLocation(), this);
    // What was just recorded shows in the list (a failing store is not waited for).
    if (store_ && store_->Status().State == TStoreState::ssOk)
        store_->Flush(1000);
    UpdateButtons();
    history_->Reload();
    history_->show();
    history_->raise();
}

void TfrmPoll::Tick()
{
    if (dirty_)
        Refresh();
    else if (SessionRunning() && recorder_->Session().IsQuestionOpen()) {
        const TPollQuestion* q = recorder_->Session().Question(recorder_->Session().CurrentQuestion());
        lblElapsed_->setText(ElapsedText(Now().MonoMs - q->OpenedMono));
    }
}

void TfrmPoll::Refresh()
{
    dirty_ = false;
    const TPollSession* s = Session();
    const int number = s ? s->CurrentQuestion() : 0;
    TQuestionResults r;
    if (number > 0)
        r = s->Results(number);
    else
        r.Expected = roster_.IsEmpty() ? (expected_ ? expected_() : 0) : roster_.Size();
    const TKeyLabels labels = Labels();
    chart_->SetResults(r, labels);

    QString question;
    if (number == 0)
        question = QStringLiteral("No question");
    else
        question = QStringLiteral("Question %1%2")
                       .arg(number)
                       .arg(s->IsQuestionOpen() ? QString() : QStringLiteral(" (closed)"));
    lblQuestion_->setText(question);
    lblAnswered_->setText(QStringLiteral("%1 of %2 answered").arg(r.Answered).arg(r.Expected));
    const TPollQuestion* q = number > 0 ? s->Question(number) : nullptr;
    if (q)
        lblElapsed_->setText(
            ElapsedText(q->IsOpen() ? Now().MonoMs - q->OpenedMono : q->ClosedMs - q->OpenedMs));
    else
        lblElapsed_->setText(ElapsedText(0));
    const std::optional<double> percent = r.PercentRight();
    lblPercent_->setText(percent ? QStringLiteral("%1 % right").arg(*percent, 0, 'f', 1) : QString());

    // The answer that counts per keypad, in keypad order.
    const TRoster& roster = s ? s->Roster() : roster_;
    table_->setRowCount(static_cast<int>(r.Choice.size()));
    int row = 0;
    for (const auto& [keypad, key] : r.Choice) {
        const QString serial = s ? s->KeypadSerial(keypad) : QString();
        const QStringList cells{QString::number(keypad), roster.NameFor(keypad, serial),
                                KeyLabel(key, labels)};
        for (int c = 0; c < 3; ++c) {
            QTableWidgetItem* item = table_->item(row, c);
            if (!item) {
                item = new QTableWidgetItem;
                table_->setItem(row, c, item);
            }
            if (item->text() != cells[c])
                item->setText(cells[c]);
        }
        ++row;
    }

    if (presentation_)
        presentation_->Show(s ? s->Title() : edtTitle_->text(), question, r, labels);
}

QString TfrmPoll::AnsweredText() const
{
    return lblAnswered_->text();
}

QString TfrmPoll::PercentText() const
{
    return lblPercent_->text();
}

QString TfrmPoll::StatusText() const
{
    return lblStore_->text();
}

QList<QStringList> TfrmPoll::TableRows() const
{
    QList<QStringList> rows;
    for (int r = 0; r < table_->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < 3; ++c)
            row << (table_->item(r, c) ? table_->item(r, c)->text() : QString());
        rows << row;
    }
    return rows;
}

} // namespace kivra
