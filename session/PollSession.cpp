#include "session/PollSession.h"

#include <QUuid>

#include <chrono>

namespace kivra {

TInstant Now()
{
    const auto mono = std::chrono::steady_clock::now().time_since_epoch();
    return {QDateTime::currentMSecsSinceEpoch(),
            std::chrono::duration_cast<std::chrono::milliseconds>(mono).count()};
}

// ---- Keys ---------------------------------------------------------------------------------

int KeyIndex(char key)
{
    if (key >= '0' && key <= '9')
        return key - '0';
    switch (key) {
    case '<':
        return 10;
    case '=':
        return 11;
    case '>':
        return 12;
    default:
        return -1;
    }
}

char KeyAt(int index)
{
    static constexpr char keys[KeyCount + 1] = "0123456789<=>";
    return index >= 0 && index < KeyCount ? keys[index] : 0;
}

bool IsValidKey(char key)
{
    return KeyIndex(key) >= 0;
}

QString KeyLabel(char key, TKeyLabels labels)
{
    if (!IsValidKey(key))
        return {};
    if (labels == TKeyLabels::klLetters && key >= '0' && key <= '9')
        return QChar(key == '0' ? 'J' : 'A' + (key - '1'));
    return QChar(key);
}

std::array<char, KeyCount> ChartKeys(TKeyLabels labels)
{
    if (labels == TKeyLabels::klLetters)
        return {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '<', '=', '>'};
    return {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '<', '=', '>'};
}

char KeyFromDigit(int value)
{
    return value >= 0 && value <= 9 ? static_cast<char>('0' + value) : 0;
}

// ---- Results ------------------------------------------------------------------------------

std::optional<double> TQuestionResults::PercentRight() const
{
    if (CorrectKey == 0 || Answered == 0)
        return std::nullopt;
    return 100.0 * Right / Answered;
}

// ---- Session ------------------------------------------------------------------------------

TPollSession::TPollSession(QString title, TSessionOptions options, TInstant at)
    : uid_(QUuid::createUuid().toString(QUuid::WithoutBraces)), title_(std::move(title)), options_(options),
      startedMs_(at.WallMs)
{
    if (title_.trimmed().isEmpty())
        title_ = DefaultTitle(QDateTime::fromMSecsSinceEpoch(at.WallMs));
}

QString TPollSession::DefaultTitle(const QDateTime& at)
{
    return at.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

void TPollSession::SetTitle(const QString& title)
{
    if (readOnly_)
        return;
    title_ = title.trimmed().isEmpty() ? DefaultTitle(QDateTime::fromMSecsSinceEpoch(startedMs_)) : title;
}

int TPollSession::OpenQuestion(TInstant at)
{
    if (readOnly_ || IsEnded())
        return 0;
    CloseQuestion(at);
    TPollQuestion q;
    q.Number = CurrentQuestion() + 1;
    q.OpenedMs = at.WallMs;
    q.OpenedMono = at.MonoMs;
    questions_.push_back(std::move(q));
    return questions_.back().Number;
}

bool TPollSession::CloseQuestion(TInstant at)
{
    if (readOnly_ || !IsQuestionOpen())
        return false;
    // A wall clock set back must not make the question close before it opened.
    questions_.back().ClosedMs = std::max(at.WallMs, questions_.back().OpenedMs);
    return true;
}

void TPollSession::End(TInstant at)
{
    if (readOnly_ || IsEnded())
        return;
    CloseQuestion(at);
    endedMs_ = std::max(at.WallMs, startedMs_);
}

const TPollQuestion* TPollSession::Question(int number) const
{
    if (number < 1 || number > CurrentQuestion())
        return nullptr;
    return &questions_[static_cast<size_t>(number - 1)];
}

TAnswerFate TPollSession::RecordAnswer(int keypad, char key, TInstant at)
{
    if (readOnly_ || IsEnded() || keypad < 1 || keypad > MaxKeypad || !IsValidKey(key))
        return TAnswerFate::afRejected;
    if (questions_.empty())
        return TAnswerFate::afNoQuestion;
    TPollQuestion& q = questions_.back();
    TPollAnswer a;
    a.Seq = ++lastSeq_;
    a.Question = q.Number;
    a.Keypad = keypad;
    a.Key = key;
    a.ReceivedMs = at.WallMs;
    a.ElapsedMs = std::max<qint64>(0, at.MonoMs - q.OpenedMono);
    a.Serial = KeypadSerial(keypad);
    a.Late = !q.IsOpen();
    q.Answers.push_back(std::move(a));
    return q.Answers.back().Late ? TAnswerFate::afLate : TAnswerFate::afOpen;
}

const TPollAnswer& TPollSession::LastAnswer() const
{
    static const TPollAnswer none;
    if (questions_.empty() || questions_.back().Answers.empty())
        return none;
    return questions_.back().Answers.back();
}

void TPollSession::SetKeypadSerial(int keypad, const QString& serial)
{
    if (keypad < 1 || keypad > MaxKeypad)
        return;
    if (TRoster::IsSerial(serial))
        serials_[keypad] = serial.toUpper();
    else
        serials_.erase(keypad);
}

QString TPollSession::KeypadSerial(int keypad) const
{
    auto it = serials_.find(keypad);
    return it == serials_.end() ? QString() : it->second;
}

bool TPollSession::SetCorrectKey(int question, char key)
{
    if (readOnly_ || question < 1 || question > CurrentQuestion() || (key != 0 && !IsValidKey(key)))
        return false;
    questions_[static_cast<size_t>(question - 1)].CorrectKey = key;
    return true;
}

TQuestionResults TPollSession::Results(int question) const
{
    TQuestionResults r;
    r.Question = question;
    r.Expected = ExpectedCount();
    const TPollQuestion* q = Question(question);
    if (q == nullptr)
        return r;
    r.CorrectKey = q->CorrectKey;
    r.Counted.assign(q->Answers.size(), false);
    std::map<int, size_t> counting; // keypad -> index of the answer that counts
    for (size_t i = 0; i < q->Answers.size(); ++i) {
        const TPollAnswer& a = q->Answers[i];
        if (a.Late)
            continue;
        auto [it, fresh] = counting.emplace(a.Keypad, i);
        if (!fresh && !options_.FirstAnswerOnly)
            it->second = i;
    }
    for (const auto& [keypad, index] : counting) {
        const char key = q->Answers[index].Key;
        r.Counted[index] = true;
        r.Choice[keypad] = key;
        ++r.Tally[static_cast<size_t>(KeyIndex(key))];
        if (key == q->CorrectKey)
            ++r.Right;
    }
    r.Answered = static_cast<int>(counting.size());
    return r;
}

TPollSession TPollSession::FromStored(TStored stored)
{
    TPollSession s(stored.Title, stored.Options, {stored.StartedMs, 0});
    s.uid_ = stored.Uid;
    s.id_ = stored.Id;
    s.endedMs_ = stored.EndedMs;
    s.expectedKeypads_ = stored.ExpectedKeypads;
    s.roster_ = std::move(stored.Roster);
    s.questions_ = std::move(stored.Questions);
    for (const TPollQuestion& q : s.questions_) {
        for (const TPollAnswer& a : q.Answers)
            s.lastSeq_ = std::max(s.lastSeq_, a.Seq);
    }
    s.readOnly_ = true;
    return s;
}

} // namespace kivra
