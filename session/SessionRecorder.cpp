#include "session/SessionRecorder.h"

#include "session/SessionStore.h"

namespace kivra {

TSessionRecorder::TSessionRecorder(TSessionStore* store, const QString& title, TSessionOptions options)
    : store_(store), session_(title, options)
{
}

void TSessionRecorder::Start()
{
    if (store_)
        store_->SaveSession(session_);
}

void TSessionRecorder::SetTitle(const QString& title)
{
    session_.SetTitle(title);
    if (store_)
        store_->SaveSession(session_);
}

int TSessionRecorder::OpenQuestion(TInstant at)
{
    const int previous = session_.CurrentQuestion();
    const bool wasOpen = session_.IsQuestionOpen();
    const int number = session_.OpenQuestion(at);
    if (store_ && number != 0) {
        if (wasOpen)
            store_->SaveQuestion(session_, previous);
        store_->SaveQuestion(session_, number);
    }
    return number;
}

bool TSessionRecorder::CloseQuestion(TInstant at)
{
    if (!session_.CloseQuestion(at))
        return false;
    if (store_)
        store_->SaveQuestion(session_, session_.CurrentQuestion());
    return true;
}

bool TSessionRecorder::SetCorrectKey(int question, char key)
{
    if (!session_.SetCorrectKey(question, key))
        return false;
    if (store_)
        store_->SaveQuestion(session_, question);
    return true;
}

void TSessionRecorder::End(TInstant at)
{
    if (session_.IsEnded())
        return;
    const bool wasOpen = session_.IsQuestionOpen();
    session_.End(at);
    if (store_) {
        if (wasOpen)
            store_->SaveQuestion(session_, session_.CurrentQuestion());
        store_->SaveSession(session_);
    }
}

TAnswerFate TSessionRecorder::Answer(int keypad, char key, TInstant at)
{
    const TAnswerFate fate = session_.RecordAnswer(keypad, key, at);
    if (store_ && (fate == TAnswerFate::afOpen || fate == TAnswerFate::afLate))
        store_->SaveAnswer(session_, session_.LastAnswer());
    return fate;
}

TAnswerFate TSessionRecorder::KeypadData(int keypad, int value, TInstant at)
{
    return Answer(keypad, KeyFromDigit(value), at);
}

TAnswerFate TSessionRecorder::SoftkeyData(int keypad, const std::string& keyValue, TInstant at)
{
    return Answer(keypad, keyValue.size() == 1 ? keyValue[0] : 0, at);
}

void TSessionRecorder::KeypadSerialNumber(int keypad, const std::string& serial)
{
    session_.SetKeypadSerial(keypad, QString::fromStdString(serial));
}

} // namespace kivra
