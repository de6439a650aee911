#include "diag/DiagSession.h"

#include "core/Exception.h"
#include "diag/DiagPorts.h"
#include "serial/PortProbe.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

namespace kivra::diag {
namespace {

using namespace std::chrono_literals;

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

const std::string kNoDevice = "No Kivra device detected.";
constexpr int kShownUnrecognised = 5; // reports of unrecognised data shown before only counting

} // namespace

void RequestStop()
{
    gStopRequested.store(true);
}

bool StopRequested()
{
    return gStopRequested.load();
}

void ClearStopRequest()
{
    gStopRequested.store(false);
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::string Printable(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

// --- Messages ----------------------------------------------------------------------------------

void Messages::Say(const std::string& text)
{
    std::lock_guard lock(m_);
    EndLive();
    err_ << "kivra-diag: " << text << '\n' << std::flush;
}

void Messages::Live(const std::string& text, bool due)
{
    std::lock_guard lock(m_);
    if (live_) {
        err_ << "\rkivra-diag: " << text << "\033[K" << std::flush;
        liveOpen_ = true;
    } else if (due) {
        err_ << "kivra-diag: " << text << '\n' << std::flush;
    }
}

void Messages::Trace(const std::string& text)
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    std::tm local{};
    ::localtime_r(&secs, &local);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    std::lock_guard lock(m_);
    EndLive();
    err_ << stamp << Printable(text) << '\n' << std::flush;
}

void Messages::Flush()
{
    std::lock_guard lock(m_);
    EndLive();
}

void Messages::EndLive()
{
    if (liveOpen_)
        err_ << '\n';
    liveOpen_ = false;
}

// --- BlockingProgress --------------------------------------------------------------------------

BlockingProgress::BlockingProgress(Messages& messages, std::string what)
    : messages_(messages), what_(std::move(what))
{
    thread_ = std::thread([this] { Run(); });
}

BlockingProgress::~BlockingProgress()
{
    {
        std::lock_guard lock(m_);
        done_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void BlockingProgress::Run()
{
    const auto start = Clock::now();
    auto next = start + 1s;
    std::unique_lock lock(m_);
    while (!cv_.wait_until(lock, next, [this] { return done_; })) {
        const int s = static_cast<int>(Seconds(Clock::now() - start));
        messages_.Say(what_ + "... " + std::to_string(s) + " s");
        next += 2s;
    }
}

// --- Session -----------------------------------------------------------------------------------

Session::Session(const DiagOptions& o, Messages& messages) : o_(o), messages_(messages)
{
    k_.SetErrorExceptionsEnabled(false);
    k_.SetErrorEventsEnabled(true);
    k_.SetOnError([this](int code, const std::string& text) { OnError(code, text); });
    k_.SetOnDebug([this](const std::string& text) { OnDebug(text); });
}

Session::~Session()
{
    // Quiet teardown: a report from a half-gone link says nothing new.
    k_.SetOnError(nullptr);
    k_.SetOnDebug(nullptr);
}

void Session::ClearKeypadHandlers()
{
    k_.SetOnKeypadDataReceived(nullptr);
    k_.SetOnSoftkeyDataReceived(nullptr);
    k_.SetOnLowBatteryWarning(nullptr);
    k_.SetOnKeypadNotification(nullptr);
    k_.SetOnKeypadSerialNumber(nullptr);
    k_.SetOnKeypadTimestamp(nullptr);
}

std::string Session::Device() const
{
    return ShownPortDevice(o_.Port);
}

ExitCode Session::Connect()
{
    k_.SetDebugEventsEnabled(o_.Trace);
    k_.SetKivraModel(rstKivraModel::mAutoDetect);
    k_.SetSerialPort(o_.Port);
    k_.SetCommunicationTimeout(o_.Timeout);
    bool ok = false;
    {
        BlockingProgress progress(messages_, "connecting to " + PortName() + " and identifying the base");
        ok = k_.Connect();
    }
    connected_ = ok;
    if (ok && !linkLost_)
        return ExitCode::Ok;
    if (linkLost_)
        return ReportLinkLost();
    return ReportConnectFailure();
}

ExitCode Session::Reconnect()
{
    if (k_.GetConnected())
        k_.Disconnect(true);
    linkLost_ = false;
    lostText_.clear();
    failureText_.clear();
    linkLostReports_ = 0;
    connected_ = false;
    connectErrors_.clear();
    return Connect();
}

void Session::Disconnect()
{
    if (!k_.GetConnected())
        return;
    BlockingProgress progress(messages_, "disconnecting");
    k_.Disconnect(false);
}

Session::WaitEnd Session::Wait(Clock::duration limit, const std::function<bool()>& done,
                               const std::string& progress, const std::function<void(double)>& everySecond)
{
    const auto start = Clock::now();
    auto nextSecond = start + 1s;
    auto nextProgress = start + 1s;
    std::optional<WaitEnd> end;
    auto check = [&] {
        const auto now = Clock::now();
        if (done && done())
            end = WaitEnd::Done;
        else if (linkLost_)
            end = WaitEnd::LinkLost;
        else if (StopRequested())
            end = WaitEnd::Stopped;
        else if (now - start >= limit)
            end = WaitEnd::TimedOut;
        if (end)
            return;
        if (everySecond && now >= nextSecond) {
            nextSecond += 1s;
            everySecond(Seconds(now - start));
        }
        if (!progress.empty() && now >= nextProgress) {
            messages_.Say(progress + "... " + std::to_string(static_cast<int>(Seconds(now - start))) + " s");
            nextProgress += 3s;
        }
    };
    check();
    if (end)
        return *end;
    QEventLoop loop;
    QTimer timer;
    timer.setInterval(50);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        try {
            check();
        } catch (const std::exception& e) {
            HandleException(e);
            end = WaitEnd::Stopped;
        }
        if (end)
            loop.quit();
    });
    timer.start();
    loop.exec();
    return *end;
}

ExitCode Session::ReportLinkLost()
{
    // More than one report of one loss would be a fault of its own: show it.
    messages_.Say(PortName() + ": link lost: " + Printable(lostText_) +
                  (linkLostReports_ > 1 ? " (reported " + std::to_string(linkLostReports_) + " times)" : ""));
    return ExitCode::LinkLost;
}

void Session::ReportUnrecognisedTotal()
{
    if (unrecognised_ > kShownUnrecognised)
        messages_.Say(std::to_string(unrecognised_) + " reports of unrecognised data from the base (first " +
                      std::to_string(kShownUnrecognised) + " shown): the line may be noisy");
}

ExitCode Session::Unsupported(const std::string& what)
{
    const rstKivraModel m = k_.GetKivraModel();
    if (m == rstKivraModel::mKivraSol)
        return ExitCode::Ok;
    const std::string kind = m == rstKivraModel::mKivra ? "an older base (" + k_.GetBaseVersion() + ")"
                                                        : "a legacy base (no version answer)";
    messages_.Say("the base on " + PortName() + " is " + kind + ": " + what + " needs a newer base (QTB420)");
    return ExitCode::Unsupported;
}

void Session::OnError(int code, const std::string& text)
{
    if (!connected_) {
        connectErrors_.emplace_back(code, text);
        // The text that came with the failure, shown when the connect fails.
        if (failureText_.empty() && k_.GetLastFailure() != TKivraFailure::None)
            failureText_ = text;
    }
    if (code == kErrConnection && connected_) {
        ++linkLostReports_;
        if (!linkLost_) {
            linkLost_ = true;
            lostText_ = text;
        }
        return;
    }
    if (code == kErrUnrecognised) {
        if (++unrecognised_ <= kShownUnrecognised)
            messages_.Say("base: " + Printable(text));
        return;
    }
    if (connected_)
        messages_.Say(Printable(text));
}

void Session::OnDebug(const std::string& text)
{
    if (o_.Trace)
        messages_.Trace(text);
}

ExitCode Session::ReportConnectFailure()
{
    const std::string where = PortName() + " (" + Device() + ")";
    const TKivraFailure failure = k_.GetLastFailure();
    if (failure == TKivraFailure::NoBase) {
        messages_.Say("no base answered on " + where + ": " + failureText_);
        return ExitCode::NoBase;
    }
    if (failure == TKivraFailure::LinkLost) {
        messages_.Say(where + ": link lost while connecting: " + failureText_);
        return ExitCode::LinkLost;
    }
    if (failure != TKivraFailure::PortNotOpened) {
        messages_.Say(
            "connecting to " + where + " failed" +
            (connectErrors_.empty() ? std::string() : ": " + Printable(connectErrors_.front().second)));
        return ExitCode::Failure;
    }
    // The port did not open: the device's state, or else the system error of the open.
    const std::string& openText = failureText_;
    PortProbe probe = ProbePort(o_.Port);
    if (probe.State == PortState::Free && k_.GetLastSystemError() != 0)
        probe = ClassifyOpenError(o_.Port, probe.Device, k_.GetLastSystemError());
    switch (probe.State) {
    case PortState::Busy:
        // The port's own text names the holder when it is known.
        messages_.Say(!probe.Detail.empty() ? Printable(openText)
                                            : where + " is " + PortStateText(probe) + " (" + openText + ")");
        return ExitCode::PortUnavailable;
    case PortState::Refused:
        messages_.Say(where + ": permission denied: " + probe.Detail);
        return ExitCode::PortUnavailable;
    case PortState::Missing:
        messages_.Say(PortName() + ": there is no device " + probe.Device + " (is the base plugged in?)");
        return ExitCode::NoBase;
    case PortState::Free:
    case PortState::Failed:
        break;
    }
    messages_.Say("cannot open " + where + ": " + Printable(openText));
    return ExitCode::Failure;
}

} // namespace kivra::diag
