#pragma once
// TSessionRecorder: what a front end calls while polling. It keeps the live TPollSession (for
// the chart and counters) and hands every change to a TSessionStore (may be null: not kept).
// Bind the control's events to it; run the control's BeginQuestion yourself when a question opens.
//
//     TSessionRecorder rec(&store, title, options);
//     rec.SetRoster(roster); rec.SetExpectedKeypads(kivra.GetKeypadListCount());
//     rec.Start();                                   // saves the header
//     kivra.BeginQuestion(rec.OpenQuestion());       // question 1, 2, ...
//     OnKeypadDataReceived:  rec.KeypadData(id, value);
//     OnSoftkeyDataReceived: rec.SoftkeyData(id, keyValue);
//     OnKeypadSerialNumber:  rec.KeypadSerialNumber(id, serial);
//     rec.SetCorrectKey(rec.Session().CurrentQuestion(), '3');
//     rec.CloseQuestion(); ... rec.End();
//     chart: rec.Session().Results(n).Tally, labels from KeyLabel(ChartKeys(...)[i], ...)

#include "session/PollSession.h"

#include <string>

namespace kivra {

class TSessionStore;

class TSessionRecorder {
public:
    TSessionRecorder(TSessionStore* store, const QString& title = {}, TSessionOptions options = {});

    const TPollSession& Session() const { return session_; }

    //! Before Start: the keypads expected to answer, and the roster (names, expected count).
    void SetExpectedKeypads(int count) { session_.SetExpectedKeypads(count); }
    void SetRoster(TRoster roster) { session_.SetRoster(std::move(roster)); }

    void Start();
    void SetTitle(const QString& title);
    //! Opens the next question (closing the open one); returns its number, 0 if the session ended.
    int OpenQuestion(TInstant at = Now());
    bool CloseQuestion(TInstant at = Now());
    bool SetCorrectKey(int question, char key);
    void End(TInstant at = Now());

    //! OnKeypadDataReceived(KeypadID, Value): Value 0-9.
    TAnswerFate KeypadData(int keypad, int value, TInstant at = Now());
    //! OnSoftkeyDataReceived(KeypadID, KeyValue): "<", "=" or ">".
    TAnswerFate SoftkeyData(int keypad, const std::string& keyValue, TInstant at = Now());
    TAnswerFate Answer(int keypad, char key, TInstant at = Now());
    //! OnKeypadSerialNumber(KeypadID, SerialNum, ...): answers after it carry the serial.
    void KeypadSerialNumber(int keypad, const std::string& serial);

private:
    TSessionStore* store_;
    TPollSession session_;
};

} // namespace kivra
