// Session store at scale: fills a store with N sessions of M answers through TSessionStore (the
// path the window and kivra-diag use), then times what a user waits for. Medians of repeated runs.
//
//   kivra-session-bench [--sessions 1000] [--answers 1000] [--repeat 5] [--store LOCATION] [--keep]
//
// Without --store a SQLite file in a temporary folder is used (and removed unless --keep).
// A --store that already holds sessions is measured as it is (nothing is added).

#include "session/SessionArchive.h"
#include "session/SessionExport.h"
#include "session/SessionRecorder.h"
#include "session/SessionStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <time.h>
#include <vector>

using namespace kivra;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

double CpuMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1000 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Wall time of f; its CPU time (the machine is shared: the two can differ) goes to cpu.
double TimeMs(const std::function<void()>& f, std::vector<double>& cpu)
{
    const double c0 = CpuMs();
    const auto t0 = Clock::now();
    f();
    cpu.push_back(CpuMs() - c0);
    return Ms(Clock::now() - t0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int sessions = 1000, answers = 1000, repeat = 5;
    QString location;
    bool keep = false;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == "--sessions")
            sessions = next.toInt(), ++i;
        else if (a == "--answers")
            answers = next.toInt(), ++i;
        else if (a == "--repeat")
            repeat = std::max(1, next.toInt()), ++i;
        else if (a == "--store")
            location = next, ++i;
        else if (a == "--keep")
            keep = true;
        else {
            std::fprintf(stderr,
                         "usage: %s [--sessions N] [--answers M] [--repeat R] [--store LOCATION] [--keep]\n",
                         argv[0]);
            return 2;
        }
    }
    QTemporaryDir tmp;
    tmp.setAutoRemove(!keep);
    if (location.isEmpty())
        location = tmp.filePath("sessions.db");

    TSessionArchive archive(location);
    if (!archive.Open()) {
        std::fprintf(stderr, "%s\n", qPrintable(archive.Error()));
        return 1;
    }
    if (archive.ListSessions().empty()) {
        // Fill: 10 questions per session, keypads 1-250, recorded as a front end would.
        std::vector<double> callNs;
        callNs.reserve(static_cast<size_t>(sessions) * static_cast<size_t>(answers));
        std::mt19937 rng(1);
        const auto fill0 = Clock::now();
        TSessionStore store(location);
        const int perQuestion = std::max(1, answers / 10);
        TInstant t{1'700'000'000'000, 0};
        for (int s = 0; s < sessions; ++s) {
            TSessionRecorder rec(&store, QStringLiteral("Session %1").arg(s + 1),
                                 {TKeyLabels::klLetters, s % 2 == 1});
            rec.SetExpectedKeypads(250);
            rec.Start();
            for (int a = 0; a < answers; ++a) {
                if (a % perQuestion == 0) {
                    rec.OpenQuestion(t);
                    rec.SetCorrectKey(rec.Session().CurrentQuestion(), '1');
                }
                t.WallMs += 7;
                t.MonoMs += 7;
                const int keypad = 1 + static_cast<int>(rng() % 250);
                const int key = static_cast<int>(rng() % 10);
                const auto c0 = Clock::now();
                rec.KeypadData(keypad, key, t);
                callNs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - c0).count());
            }
            rec.End(t);
            if (store.Status().WaitingAnswers > 100000)
                store.Flush(60000); // keep memory bounded while filling
        }
        if (!store.Flush(600000)) {
            std::fprintf(stderr, "store did not finish: %s\n", qPrintable(store.Status().Message));
            return 1;
        }
        const double fillMs = Ms(Clock::now() - fill0);
        std::printf("fill: %d sessions x %d answers in %.1f s (%.0f answers/s written)\n", sessions, answers,
                    fillMs / 1000, 1000.0 * sessions * answers / fillMs);
        std::printf("record one answer on the caller's thread (model + queue): median %.2f us, p99 %.2f us\n",
                    Median(callNs) / 1000, Percentile(callNs, 0.99) / 1000);
    }

    std::vector<double> list, one, exportAll, gradebook;
    std::vector<double> listCpu, oneCpu, exportCpu, gradebookCpu;
    size_t listed = 0;
    for (int r = 0; r < repeat; ++r)
        list.push_back(TimeMs([&] { listed = archive.ListSessions().size(); }, listCpu));
    const std::vector<qint64> ids = archive.SessionIds();
    std::mt19937 rng(2);
    for (int r = 0; r < repeat * 4; ++r) {
        const qint64 id = ids[rng() % ids.size()];
        one.push_back(TimeMs(
            [&] {
                const auto s = archive.LoadSession(id);
                for (int q = 1; s && q <= s->CurrentQuestion(); ++q)
                    (void)s->Results(q);
            },
            oneCpu));
        gradebook.push_back(TimeMs([&] { (void)GradebookCsv(*archive.LoadSession(id)); }, gradebookCpu));
    }
    const QString out = tmp.filePath("export.csv");
    qint64 exportBytes = 0;
    for (int r = 0; r < std::min(repeat, 3); ++r) {
        exportAll.push_back(TimeMs(
            [&] {
                QFile f(out);
                f.open(QIODevice::WriteOnly | QIODevice::Truncate);
                QString error;
                if (!ExportAnswers(archive, ids, f, nullptr, &error))
                    std::fprintf(stderr, "export failed: %s\n", qPrintable(error));
                exportBytes = f.size();
            },
            exportCpu));
    }

    const auto status = archive.ListSessions();
    qint64 total = 0;
    for (const TSessionSummary& s : status)
        total += s.Answers;
    std::printf("store: %s, %zu sessions, %lld answers\n", qPrintable(archive.Location()), listed,
                static_cast<long long>(total));
    std::printf("                          wall median    CPU median\n");
    std::printf("session list:            %8.1f ms   %8.1f ms  (target <= 100 ms)\n", Median(list),
                Median(listCpu));
    std::printf("one session's results:   %8.1f ms   %8.1f ms  (target <= 200 ms)\n", Median(one),
                Median(oneCpu));
    std::printf("one session's gradebook: %8.1f ms   %8.1f ms\n", Median(gradebook), Median(gradebookCpu));
    std::printf("full export (CSV):       %8.1f ms   %8.1f ms  (target <= 2000 ms), %.1f MB\n",
                Median(exportAll), Median(exportCpu), exportBytes / 1e6);
    const QFileInfo db(location);
    if (db.exists()) {
        qint64 size = db.size();
        for (const char* side : {"-wal", "-shm"})
            size += QFileInfo(location + side).size();
        std::printf("file size: %.1f MB (%.0f bytes per answer)\n", size / 1e6,
                    total ? static_cast<double>(size) / static_cast<double>(total) : 0.0);
    }
    if (keep)
        std::printf("kept: %s\n", qPrintable(location));
    return 0;
}
