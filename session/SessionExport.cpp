#include "session/SessionExport.h"

#include "session/Csv.h"

#include <QDateTime>

#include <map>

namespace kivra {

namespace {

QString IsoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

} // namespace

void AppendAnswersHeader(QByteArray& out)
{
    csv::AppendRecord(out, {QStringLiteral("session"), QStringLiteral("title"), QStringLiteral("question"),
                            QStringLiteral("keypad"), QStringLiteral("serial"), QStringLiteral("name"),
                            QStringLiteral("key"), QStringLiteral("label"), QStringLiteral("received"),
                            QStringLiteral("ms"), QStringLiteral("counted")});
}

void AppendAnswers(QByteArray& out, const TPollSession& session, const TRoster* roster)
{
    const TRoster& names = roster ? *roster : session.Roster();
    const QString id = QString::number(session.Id());
    const TKeyLabels labels = session.Options().KeyLabels;
    for (const TPollQuestion& q : session.Questions()) {
        const TQuestionResults r = session.Results(q.Number);
        const QString number = QString::number(q.Number);
        for (size_t i = 0; i < q.Answers.size(); ++i) {
            const TPollAnswer& a = q.Answers[i];
            csv::AppendRecord(out,
                              {id, session.Title(), number, QString::number(a.Keypad), a.Serial,
                               names.NameFor(a.Keypad, a.Serial), QString(QChar(a.Key)),
                               KeyLabel(a.Key, labels), IsoTime(a.ReceivedMs), QString::number(a.ElapsedMs),
                               r.Counted[i] ? QStringLiteral("yes") : QStringLiteral("no")});
        }
    }
}

QByteArray AnswersCsv(const TPollSession& session, const TRoster* roster)
{
    QByteArray out;
    AppendAnswersHeader(out);
    AppendAnswers(out, session, roster);
    return out;
}

QByteArray GradebookCsv(const TPollSession& session, const TRoster* roster)
{
    const TRoster& names = roster ? *roster : session.Roster();
    const TKeyLabels labels = session.Options().KeyLabels;
    const int questions = session.CurrentQuestion();

    // Rows: roster entries first (index >= 0), then keypads nobody in the roster owns.
    struct TRow {
        QString Name, Serial;
        int Keypad = 0;
        std::vector<char> Keys;
    };
    std::vector<TRow> rows;
    for (const TRosterEntry& e : names.Entries())
        rows.push_back({e.Name, e.Serial, e.Keypad, std::vector<char>(static_cast<size_t>(questions), 0)});
    std::map<int, size_t> unlisted; // keypad -> row
    for (const TPollQuestion& q : session.Questions()) {
        const TQuestionResults r = session.Results(q.Number);
        for (size_t i = 0; i < q.Answers.size(); ++i) {
            if (!r.Counted[i])
                continue;
            const TPollAnswer& a = q.Answers[i];
            size_t row = 0;
            const int entry = names.Find(a.Keypad, a.Serial);
            if (entry >= 0) {
                row = static_cast<size_t>(entry);
                if (rows[row].Keypad == 0)
                    rows[row].Keypad = a.Keypad; // listed by serial: show where it answered
            } else {
                auto [it, fresh] = unlisted.emplace(a.Keypad, rows.size());
                if (fresh)
                    rows.push_back({QString(), a.Serial, a.Keypad,
                                    std::vector<char>(static_cast<size_t>(questions), 0)});
                row = it->second;
            }
            // A student whose serial moved to another keypad mid-question: the later answer wins.
            rows[row].Keys[static_cast<size_t>(q.Number - 1)] = a.Key;
        }
    }

    QByteArray out;
    QStringList header{QStringLiteral("name"), QStringLiteral("keypad"), QStringLiteral("serial")};
    for (int n = 1; n <= questions; ++n)
        header << QStringLiteral("Q%1").arg(n);
    header << QStringLiteral("score");
    csv::AppendRecord(out, header);
    // Unlisted keypads in ascending order after the roster.
    std::vector<size_t> order;
    for (size_t i = 0; i < static_cast<size_t>(names.Size()); ++i)
        order.push_back(i);
    for (const auto& [keypad, row] : unlisted)
        order.push_back(row);
    for (size_t index : order) {
        const TRow& row = rows[index];
        QStringList fields{row.Name, row.Keypad ? QString::number(row.Keypad) : QString(), row.Serial};
        int score = 0;
        for (int n = 1; n <= questions; ++n) {
            const char key = row.Keys[static_cast<size_t>(n - 1)];
            fields << (key ? KeyLabel(key, labels) : QString());
            const char correct = session.Questions()[static_cast<size_t>(n - 1)].CorrectKey;
            if (key != 0 && key == correct)
                ++score;
        }
        fields << QString::number(score);
        csv::AppendRecord(out, fields);
    }
    return out;
}

} // namespace kivra
