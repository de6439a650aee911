#include "session/SessionExport.h"

#include "session/Csv.h"
#include "session/SessionArchive.h"

#include <QIODevice>
#include <QSaveFile>

#include <chrono>

#include <map>

namespace kivra {

namespace {

void AppendDigits(char*& p, int value, int width)
{
    for (int i = width - 1; i >= 0; --i, value /= 10)
        p[i] = static_cast<char>('0' + value % 10);
    p += width;
}

// 2024-05-03T14:05:01.123Z
void AppendIsoTime(QByteArray& out, qint64 ms)
{
    using namespace std::chrono;
    const sys_time<milliseconds> t{milliseconds(ms)};
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss<milliseconds> time{t - day};
    char text[24];
    char* p = text;
    AppendDigits(p, static_cast<int>(ymd.year()), 4);
    *p++ = '-';
    AppendDigits(p, static_cast<int>(static_cast<unsigned>(ymd.month())), 2);
    *p++ = '-';
    AppendDigits(p, static_cast<int>(static_cast<unsigned>(ymd.day())), 2);
    *p++ = 'T';
    AppendDigits(p, static_cast<int>(time.hours().count()), 2);
    *p++ = ':';
    AppendDigits(p, static_cast<int>(time.minutes().count()), 2);
    *p++ = ':';
    AppendDigits(p, static_cast<int>(time.seconds().count()), 2);
    *p++ = '.';
    AppendDigits(p, static_cast<int>(time.subseconds().count()), 3);
    *p++ = 'Z';
    out.append(text, p - text);
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
    // Written field by field: a full export runs over every answer in the store.
    const TRoster& names = roster ? *roster : session.Roster();
    const TKeyLabels labels = session.Options().KeyLabels;
    QByteArray prefix = QByteArray::number(session.Id()) + ',';
    csv::AppendField(prefix, session.Title());
    prefix += ',';
    std::vector<QByteArray> quotedNames(static_cast<size_t>(names.Size()));
    for (size_t i = 0; i < quotedNames.size(); ++i)
        csv::AppendField(quotedNames[i], names.Entries()[i].Name);
    for (const TPollQuestion& q : session.Questions()) {
        const TQuestionResults r = session.Results(q.Number);
        const QByteArray number = QByteArray::number(q.Number) + ',';
        for (size_t i = 0; i < q.Answers.size(); ++i) {
            const TPollAnswer& a = q.Answers[i];
            out += prefix;
            out += number;
            out += QByteArray::number(a.Keypad);
            out += ',';
            csv::AppendField(out, a.Serial);
            out += ',';
            if (const int entry = names.Find(a.Keypad, a.Serial); entry >= 0)
                out += quotedNames[static_cast<size_t>(entry)];
            out += ',';
            out += a.Key;
            out += ',';
            out += KeyLabel(a.Key, labels).toLatin1();
            out += ',';
            AppendIsoTime(out, a.ReceivedMs);
            out += ',';
            out += QByteArray::number(a.ElapsedMs);
            out += r.Counted[i] ? ",yes\r\n" : ",no\r\n";
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

namespace kivra {

bool ExportAnswers(TSessionArchive& archive, const std::vector<qint64>& ids, QIODevice& out,
                   const TRoster* roster, QString* error)
{
    QByteArray chunk;
    chunk.reserve(2 << 20);
    AppendAnswersHeader(chunk);
    for (qint64 id : ids) {
        const std::optional<TPollSession> s = archive.LoadSession(id);
        if (!s) {
            if (error)
                *error = archive.Error().isEmpty() ? QStringLiteral("There is no session %1.").arg(id)
                                                   : archive.Error();
            return false;
        }
        AppendAnswers(chunk, *s, roster);
        if (chunk.size() >= (1 << 20) || id == ids.back()) {
            if (out.write(chunk) != chunk.size()) {
                if (error)
                    *error = out.errorString();
                return false;
            }
            chunk.resize(0); // keeps the buffer
        }
    }
    if (ids.empty() && out.write(chunk) != chunk.size()) {
        if (error)
            *error = out.errorString();
        return false;
    }
    return true;
}

QString WriteWholeFile(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return {};
    return file.errorString();
}

} // namespace kivra
