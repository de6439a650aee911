#include "diag/DiagSessions.h"

#include "session/SessionArchive.h"
#include "session/SessionExport.h"

#include <QDateTime>
#include <QFile>

#include <cstdio>

namespace kivra::diag {
namespace {

//! Control characters of a title would move a terminal's cursor: shown as blanks.
std::string Shown(const QString& text)
{
    QString s = text;
    for (QChar& c : s)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    return s.toStdString();
}

std::string LocalTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
}

bool OpenArchive(TSessionArchive& archive, std::ostream& err)
{
    if (archive.Open()) {
        if (!archive.MovedAside().isEmpty())
            err << "kivra-diag: the damaged session store was moved to " << archive.MovedAside().toStdString()
                << '\n';
        return true;
    }
    err << "kivra-diag: " << archive.Error().toStdString() << '\n';
    return false;
}

} // namespace

ExitCode ListSessions(const DiagOptions& o, std::ostream& out, std::ostream& err)
{
    TSessionArchive archive(QString::fromStdString(o.Db));
    if (!OpenArchive(archive, err))
        return ExitCode::Failure;
    const std::vector<TSessionSummary> sessions = archive.ListSessions();
    if (!archive.Error().isEmpty()) {
        err << "kivra-diag: reading " << archive.Location().toStdString()
            << " failed: " << archive.Error().toStdString() << '\n';
        return ExitCode::Failure;
    }
    out << "    ID  Started              Questions  Answers  Title\n";
    for (const TSessionSummary& s : sessions) {
        char line[96];
        std::snprintf(line, sizeof line, "%6lld  %-19s  %9d  %7lld  ", static_cast<long long>(s.Id),
                      LocalTime(s.StartedMs).c_str(), s.Questions, static_cast<long long>(s.Answers));
        out << line << Shown(s.Title) << '\n';
    }
    out << sessions.size() << " sessions in " << archive.Location().toStdString() << '\n' << std::flush;
    return ExitCode::Ok;
}

ExitCode ExportSession(const DiagOptions& o, std::ostream& out, std::ostream& err)
{
    TRoster roster;
    if (!o.RosterPath.empty()) {
        std::vector<TRosterError> errors;
        if (!TRoster::Load(QString::fromStdString(o.RosterPath), roster, errors)) {
            err << "kivra-diag: the roster " << o.RosterPath << " was not read:\n";
            for (const TRosterError& e : errors)
                err << "kivra-diag:   " << TRoster::Describe(e).toStdString() << '\n';
            return ExitCode::BadArguments;
        }
    }
    TSessionArchive archive(QString::fromStdString(o.Db));
    if (!OpenArchive(archive, err))
        return ExitCode::Failure;
    const std::optional<TPollSession> session = archive.LoadSession(o.SessionId);
    if (!session) {
        err << "kivra-diag: "
            << (archive.Error().isEmpty()
                    ? "there is no session " + std::to_string(o.SessionId) + " in " +
                          archive.Location().toStdString() + " (kivra-diag sessions lists them)"
                    : "reading session " + std::to_string(o.SessionId) +
                          " failed: " + archive.Error().toStdString())
            << '\n';
        return ExitCode::Failure;
    }
    const TRoster* names = o.RosterPath.empty() ? nullptr : &roster;
    const QByteArray csv = o.Gradebook ? GradebookCsv(*session, names) : AnswersCsv(*session, names);
    if (o.CsvPath == "-") {
        out.write(csv.constData(), csv.size());
        out.flush();
        return out ? ExitCode::Ok : ExitCode::Failure;
    }
    if (const QString failure = WriteWholeFile(QString::fromStdString(o.CsvPath), csv); !failure.isEmpty()) {
        err << "kivra-diag: cannot write " << o.CsvPath << ": " << failure.toStdString() << '\n';
        return ExitCode::Failure;
    }
    std::size_t answers = 0;
    for (const TPollQuestion& q : session->Questions())
        answers += q.Answers.size();
    err << "kivra-diag: session " << o.SessionId << " (" << session->Questions().size() << " questions, "
        << answers << " answers) written to " << o.CsvPath << '\n';
    return ExitCode::Ok;
}

} // namespace kivra::diag
