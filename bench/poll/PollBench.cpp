// Measures the window utility against the simulated base streaming answers at line rate, with
// and without a poll session recording every answer: the latency from the moment a packet
// carrying an answer can be framed to the first repaint of the grid that shows it, the CPU share
// of this process (the simulator runs in a child), and how often the Poll window's chart was
// redrawn. Runs alternate without and with recording; medians over the runs are printed last.
//
// Usage: kivra-poll-bench [--seconds N] [--rate PRESSES_PER_SECOND] [--runs K] [--bytes-per-second B]
//                         [--poll-window shown|hidden]

#include "app/AppWindows.h"
#include "app/Application.h"
#include "app/PollChart.h"
#include "app/frmPoll.h"
#include "bench/common/Options.h"
#include "bench/common/SimTrace.h"
#include "session/SessionStore.h"
#include "ui_frmKivraUtil.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sys/wait.h>
#include <vector>

using namespace kivra;
using namespace kivra::bench;

namespace {

struct Options {
    int Seconds = 20;
    double Rate = 250; // every keypad about once a second
    int Runs = 3;
    int BytesPerSecond = 960;
    bool HidePollWindow = false; // recording without drawing the chart: separates the two costs
};

Options ParseOptions(int argc, char** argv)
{
    Options o;
    ParseNamedOptions(
        argc, argv,
        "Usage: kivra-poll-bench [--seconds N] [--rate PRESSES_PER_SECOND] [--runs K] [--bytes-per-second B] "
        "[--poll-window shown|hidden]",
        {
            {"--seconds", [&o](const std::string& v) { o.Seconds = std::atoi(v.c_str()); }},
            {"--rate", [&o](const std::string& v) { o.Rate = std::atof(v.c_str()); }},
            {"--runs", [&o](const std::string& v) { o.Runs = std::atoi(v.c_str()); }},
            {"--bytes-per-second", [&o](const std::string& v) { o.BytesPerSecond = std::atoi(v.c_str()); }},
            {"--poll-window", [&o](const std::string& v) { o.HidePollWindow = v == "hidden"; }},
        });
    return o;
}

void Wait(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

struct RunResult {
    double StartMs = 0, EndMs = 0;
    double CpuPercent = 0;
    double ChartPerSecond = 0;
    qint64 Recorded = 0, Written = 0;
    std::map<int, std::vector<std::pair<int, double>>>
        Shown; // keypad -> (digit, first grid repaint after it)
};

// Records the first repaint of the grid after each answer event.
class GridWatch : public QObject {
public:
    std::vector<std::pair<int, int>> Pending; // keypad, digit
    RunResult* Result = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !Pending.empty()) {
            const double now = WallMsOfDay();
            for (const auto& [keypad, digit] : Pending)
                Result->Shown[keypad].emplace_back(digit, now);
            Pending.clear();
        }
        return QObject::eventFilter(watched, event);
    }
};

RunResult Run(const Options& o, bool record, const QString& store)
{
    RunResult r;
    TfrmPoll::SetStoreLocationOverride(store);
    TAppWindows windows;
    TfrmKivraUtil& main = windows.Main;
    main.show();
    main.ui->lboComPort->setCurrentText(QStringLiteral("1"));
    main.btnConnectClick();
    if (!main.KivraOCX->GetConnected()) {
        std::fprintf(stderr, "Connect failed\n");
        std::exit(1);
    }
    GridWatch watch;
    watch.Result = &r;
    main.ui->StringGrid1->installEventFilter(&watch);

    TfrmPoll* poll = nullptr;
    if (record) {
        main.btnPollClick();
        poll = main.PollForm();
        if (o.HidePollWindow)
            poll->hide();
    }
    // Last in the chain: the grid and the Poll window have taken the answer.
    main.KivraOCX->SetOnKeypadDataReceived(
        [&watch, prev = main.KivraOCX->GetOnKeypadDataReceived()](int id, int value) {
            prev(id, value);
            watch.Pending.emplace_back(id, value);
        });

    const double cpuStart = CpuSeconds();
    r.StartMs = WallMsOfDay();
    const int chartStart = poll ? poll->Chart()->Updates() : 0;
    if (poll)
        poll->StartQuestion(); // starts polling
    else
        main.btnPollingClick();
    Wait(o.Seconds * 1000);
    r.EndMs = WallMsOfDay();
    const double cpu = CpuSeconds() - cpuStart;
    r.CpuPercent = 100.0 * cpu / ((r.EndMs - r.StartMs) / 1000.0);
    if (poll) {
        r.ChartPerSecond = (poll->Chart()->Updates() - chartStart) / ((r.EndMs - r.StartMs) / 1000.0);
        r.Recorded = poll->Session()->AnswerCount();
        poll->EndSession();
        poll->Store()->Flush(5000);
        r.Written = poll->Store()->Status().WrittenAnswers;
    }
    main.btnConnectClick(); // stops polling, disconnects
    main.close();
    return r;
}

double Median(std::vector<double> v)
{
    return Percentile(std::move(v), 0.5);
}

} // namespace

int main(int argc, char** argv)
{
    const Options o = ParseOptions(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    const SimChild sim = StartSimChild(o.Rate, o.BytesPerSecond);
    if (sim.Pid < 0)
        return 1;
    const std::string& trace = sim.Trace;
    const char* dir = sim.Dir.c_str();

    TApplication app(argc, argv);
    SetMessageBoxFunction(
        [](const QString& text) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); });
    QTemporaryDir storeDir;
    const QString store = storeDir.filePath(QStringLiteral("sessions.db"));

    std::vector<RunResult> runs;
    runs.reserve(2 * static_cast<std::size_t>(o.Runs));
    for (int i = 0; i < 2 * o.Runs; ++i)
        runs.push_back(Run(o, i % 2 == 1, store));

    StopSimChild(sim);

    // Each answer shown is matched with the latest packet of that keypad and digit framable
    // before the repaint (and after the run started).
    const std::vector<Framable> sent = ReadTrace(trace);
    std::vector<double> p99[2], median[2], cpu[2], chart;
    std::printf("run  recording  answers  median ms  p99 ms  CPU %%  chart/s  recorded  written\n");
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const RunResult& r = runs[i];
        const bool record = i % 2 == 1;
        std::map<int, std::vector<const Framable*>> byKeypad;
        for (const Framable& f : sent)
            if (f.AtMs >= r.StartMs && f.AtMs <= r.EndMs)
                byKeypad[f.Keypad].push_back(&f);
        std::vector<double> latencies;
        for (const auto& [keypad, shown] : r.Shown) {
            const auto& packets = byKeypad[keypad];
            std::size_t next = 0;
            for (const auto& [digit, at] : shown) {
                const Framable* best = nullptr;
                for (std::size_t k = next; k < packets.size() && packets[k]->AtMs <= at; ++k)
                    if (packets[k]->Digit == digit) {
                        best = packets[k];
                        next = k + 1;
                    }
                if (best)
                    latencies.push_back(at - best->AtMs);
            }
        }
        const double m = Percentile(latencies, 0.5), p = Percentile(latencies, 0.99);
        std::printf("%3zu  %-9s  %7zu  %9.1f  %6.1f  %5.2f  %7.2f  %8lld  %7lld\n", i + 1,
                    record ? "yes" : "no", latencies.size(), m, p, r.CpuPercent, r.ChartPerSecond,
                    static_cast<long long>(r.Recorded), static_cast<long long>(r.Written));
        median[record].push_back(m);
        p99[record].push_back(p);
        cpu[record].push_back(r.CpuPercent);
        if (record)
            chart.push_back(r.ChartPerSecond);
    }
    std::printf("medians over %d runs each, %.0f presses/s offered, %d s per run:\n", o.Runs, o.Rate,
                o.Seconds);
    std::printf("  without recording: answer -> grid cell median %.1f ms, p99 %.1f ms, CPU %.2f %%\n",
                Median(median[0]), Median(p99[0]), Median(cpu[0]));
    std::printf("  with recording:    answer -> grid cell median %.1f ms, p99 %.1f ms, CPU %.2f %%, chart "
                "%.2f redraws/s\n",
                Median(median[1]), Median(p99[1]), Median(cpu[1]), Median(chart));
    ::unlink(trace.c_str());
    QDir(QString::fromLocal8Bit(dir)).removeRecursively();
    return 0;
}
