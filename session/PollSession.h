#pragma once
// A poll session: questions opened and closed in turn, the answers of the keypads, and the
// counting rules that turn them into a tally. Pure logic: no SQL, no widgets, no control.
//
// Use from a front end (a window or kivra-diag), usually through TSessionRecorder:
//
//     TPollSession s(TPollSession::DefaultTitle(), {TKeyLabels::klLetters, false});
//     s.OpenQuestion();                      // question 1; the caller runs BeginQuestion itself
//     s.RecordAnswer(17, '3');               // OnKeypadDataReceived(17, 3)
//     s.RecordAnswer(17, '<');               // OnSoftkeyDataReceived(17, "<")
//     s.SetCorrectKey(1, '3');
//     TQuestionResults r = s.Results(1);     // r.Tally[KeyIndex('3')], r.Answered, r.PercentRight()
//     s.CloseQuestion();                     // later answers are logged as late, never counted
//
// Times: every call that changes the session takes a TInstant (default: now). The wall clock
// is stored; the monotonic clock measures the time since a question opened.

#include "session/Roster.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace kivra {

//! A moment seen by both clocks: wall time for the record, monotonic time for durations.
struct TInstant {
    qint64 WallMs = 0; //!< ms since 1970-01-01 UTC
    qint64 MonoMs = 0; //!< steady clock, ms
};
TInstant Now();

// ---- Keys ---------------------------------------------------------------------------------
// A key is one character: the digits '0'-'9' (OnKeypadDataReceived's Value) or the soft keys
// '<', '=', '>' (OnSoftkeyDataReceived's KeyValue).
//
// Letter labels, the one place they are defined: key 1 = A, 2 = B, ... 9 = I, 0 = J, following
// the keypad where 0 comes after 9. Soft keys keep their own signs in both label modes.

enum class TKeyLabels : std::uint8_t { klDigits, klLetters };

constexpr int KeyCount = 13;
//! Index 0-12 of a key in tallies: '0'-'9' are 0-9, '<' 10, '=' 11, '>' 12; -1 for other bytes.
int KeyIndex(char key);
char KeyAt(int index);
bool IsValidKey(char key);
//! The key as shown: "3" or "C" (letters); soft keys as they are.
QString KeyLabel(char key, TKeyLabels labels);
//! Keys in chart order: 0-9 then the soft keys for digits; A-J (1-9, 0) then the soft keys for letters.
std::array<char, KeyCount> ChartKeys(TKeyLabels labels);
//! Key of a digit from OnKeypadDataReceived (0-9), or 0 when out of range.
char KeyFromDigit(int value);

// ---- Session content -----------------------------------------------------------------------

struct TSessionOptions {
    TKeyLabels KeyLabels = TKeyLabels::klDigits;
    //! Only a keypad's first answer to a question counts (otherwise its latest, until closing).
    bool FirstAnswerOnly = false;
};

struct TPollAnswer {
    qint64 Seq = 0;        //!< 1, 2, ... in arrival order within the session
    int Question = 0;      //!< number of the question it belongs to
    int Keypad = 0;        //!< 1-650
    char Key = 0;          //!< see KeyIndex
    qint64 ReceivedMs = 0; //!< wall clock, ms since epoch
    qint64 ElapsedMs = 0;  //!< since the question opened
    QString Serial;        //!< the keypad's serial number (six hex digits), empty when unknown
    bool Late = false;     //!< arrived after the question closed: kept in the log, never counted
};

struct TPollQuestion {
    int Number = 0;
    qint64 OpenedMs = 0;              //!< wall clock
    qint64 ClosedMs = 0;              //!< wall clock; 0 while open
    char CorrectKey = 0;              //!< 0: none marked
    std::vector<TPollAnswer> Answers; //!< in arrival order, late ones included
    qint64 OpenedMono = 0;            //!< monotonic clock at opening (not stored)

    bool IsOpen() const { return ClosedMs == 0; }
};

//! What the chart, the counters and the exports show for one question.
struct TQuestionResults {
    int Question = 0;
    std::array<int, KeyCount> Tally{}; //!< counted answers per key, indexed by KeyIndex
    int Answered = 0;                  //!< keypads with a counted answer
    int Expected = 0;                  //!< see TPollSession::ExpectedCount
    int Right = 0;                     //!< counted answers equal to the correct key
    char CorrectKey = 0;
    std::map<int, char> Choice; //!< keypad -> the key that counts
    std::vector<bool> Counted;  //!< parallel to the question's Answers

    //! Percentage of counted answers that are right; empty when no correct key or no answer.
    std::optional<double> PercentRight() const;
};

enum class TAnswerFate : std::uint8_t {
    afOpen,       //!< recorded for the open question (whether it counts depends on the rule)
    afLate,       //!< recorded after the question closed: logged, not counted
    afNoQuestion, //!< no question opened yet: not recorded
    afRejected,   //!< invalid keypad or key, or the session is ended or read-only
};

class TPollSession {
public:
    static constexpr int MaxKeypad = 650;

    explicit TPollSession(QString title = {}, TSessionOptions options = {}, TInstant at = Now());

    //! The default title: the date and time of the start, "2024-05-03 14:05".
    static QString DefaultTitle(const QDateTime& at = QDateTime::currentDateTime());

    //! Identifies the session across stores and reruns (a UUID, made at creation).
    const QString& Uid() const { return uid_; }
    //! Number given by the store (0 until the session was read back from a store).
    qint64 Id() const { return id_; }
    void SetId(qint64 id) { id_ = id; }

    const QString& Title() const { return title_; }
    void SetTitle(const QString& title);
    const TSessionOptions& Options() const { return options_; }
    qint64 StartedMs() const { return startedMs_; }
    qint64 EndedMs() const { return endedMs_; }
    bool IsEnded() const { return endedMs_ != 0; }
    //! A session read back from a store: nothing can be recorded or changed.
    bool IsReadOnly() const { return readOnly_; }

    //! Closes the open question, if any, and opens the next; returns its number (0 if refused).
    int OpenQuestion(TInstant at = Now());
    //! Closes the open question; false when none is open.
    bool CloseQuestion(TInstant at = Now());
    //! Closes the open question and ends the session.
    void End(TInstant at = Now());

    //! Number of the last opened question (open or closed), 0 before the first.
    int CurrentQuestion() const { return static_cast<int>(questions_.size()); }
    bool IsQuestionOpen() const { return !questions_.empty() && questions_.back().IsOpen(); }
    const std::vector<TPollQuestion>& Questions() const { return questions_; }
    const TPollQuestion* Question(int number) const;

    //! Records an answer of the current question. The keypad's serial, if known, goes with it.
    TAnswerFate RecordAnswer(int keypad, char key, TInstant at = Now());
    //! The answer last recorded (valid after afOpen or afLate).
    const TPollAnswer& LastAnswer() const;
    qint64 AnswerCount() const { return lastSeq_; }

    //! A serial number reported for a keypad (OnKeypadSerialNumber); later answers carry it.
    void SetKeypadSerial(int keypad, const QString& serial);
    QString KeypadSerial(int keypad) const;

    //! Marks the correct key of a question (0 clears it); false for an unknown question or key.
    bool SetCorrectKey(int question, char key);

    //! The keypads expected to answer (the defined group); used when there is no roster.
    void SetExpectedKeypads(int count) { expectedKeypads_ = count; }
    void SetRoster(TRoster roster) { roster_ = std::move(roster); }
    const TRoster& Roster() const { return roster_; }
    //! Students in the roster when there is one, else the defined group.
    int ExpectedCount() const { return roster_.IsEmpty() ? expectedKeypads_ : roster_.Size(); }

    TQuestionResults Results(int question) const;

    //! Rebuilds a stored session, read-only: the parts are checked for order, not for rules.
    struct TStored {
        qint64 Id = 0;
        QString Uid, Title;
        TSessionOptions Options;
        qint64 StartedMs = 0, EndedMs = 0;
        int ExpectedKeypads = 0;
        TRoster Roster;
        std::vector<TPollQuestion> Questions; //!< numbered 1, 2, ... with their answers
    };
    static TPollSession FromStored(TStored stored);

private:
    QString uid_;
    qint64 id_ = 0;
    QString title_;
    TSessionOptions options_;
    qint64 startedMs_ = 0;
    qint64 endedMs_ = 0;
    bool readOnly_ = false;
    std::vector<TPollQuestion> questions_;
    qint64 lastSeq_ = 0;
    std::map<int, QString> serials_;
    int expectedKeypads_ = 0;
    TRoster roster_;
};

} // namespace kivra
