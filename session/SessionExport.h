#pragma once
// Exports of a session as CSV (RFC 4180, UTF-8, CRLF; see Csv.h).
//
// Answers: one row per answer, late ones included, in arrival order:
//     session,title,question,keypad,serial,name,key,label,received,ms,counted
// "key" is the key pressed ("0"-"9", "<", "=", ">"), "label" the key as the session shows it
// (A-J with letter labels), "received" the wall-clock time (ISO 8601, UTC), "ms" the time
// since the question opened, "counted" yes/no by the session's counting rule.
//
// Gradebook: one row per student (roster order, absent students included) and then per keypad
// that answered without a roster entry; one column per question holding the label of the answer
// that counts; "score" is the number of right answers among questions with a correct key:
//     name,keypad,serial,Q1,Q2,...,score
// Names come from the given roster, else from the roster kept with the session.

#include "session/PollSession.h"

#include <QByteArray>

#include <vector>

class QIODevice;

namespace kivra {

class TSessionArchive;

//! The header row of the answers export.
void AppendAnswersHeader(QByteArray& out);
//! The answer rows of one session (no header).
void AppendAnswers(QByteArray& out, const TPollSession& session, const TRoster* roster = nullptr);
//! Header and rows of one session.
QByteArray AnswersCsv(const TPollSession& session, const TRoster* roster = nullptr);
QByteArray GradebookCsv(const TPollSession& session, const TRoster* roster = nullptr);

//! Streams the answers of several sessions (one header) to a file or pipe, session by session,
//! so that a whole store can be exported in bounded memory. False with error on a read or write failure.
bool ExportAnswers(TSessionArchive& archive, const std::vector<qint64>& ids, QIODevice& out,
                   const TRoster* roster = nullptr, QString* error = nullptr);

//! Writes an export to path aside and renames it into place, so that a failed write never leaves
//! half a file in place of the old one. Empty on success, else the reason.
QString WriteWholeFile(const QString& path, const QByteArray& data);

} // namespace kivra
