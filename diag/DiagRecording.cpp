#include "diag/DiagRecording.h"

#include "diag/DiagOptions.h"
#include "session/SessionArchive.h"
#include "session/SessionExport.h"
#include "session/SessionStore.h"

#include <QDir>
#include <QObject>

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivra::diag {
namespace {

std::unique_ptr<TSessionStore> MakeStore(const DiagOptions& o)
{
    if (!o.Record)
        return nullptr;
    QString error;
    if (!TStoreLocation::Parse(QString::fromStdString(o.Db), &error))
        throw UsageError("--db: " + error.toStdString());
    return std::make_unique<TSessionStore>(QString::fromStdString(o.Db));
}

QString TitleOf(const DiagOptions& o)
{
    return o.Title.empty() ? TPollSession::DefaultTitle() : QString::fromStdString(o.Title);
}

void AppendJsonString(std::string& out, const std::string& text)
{
    out += '"';
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20 || b >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", b);
            out += hex;
        } else {
            out += c;
        }
    }
    out += '"';
}

} // namespace

// --- LineInput ----------------------------------------------------------------------------------

LineInput::LineInput(int fd) : fd_(fd)
{
    thread_ = std::thread([this] { Run(); });
}

LineInput::~LineInput()
{
    stop_ = true;
    thread_.join();
}

void LineInput::Run()
{
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        const int n = ::poll(&p, 1, 100);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (p.revents & POLLNVAL) != 0) {
            ended_ = true;
            return;
        }
        if (n == 0)
            continue;
        char buf[256];
        const ssize_t got = ::read(fd_, buf, sizeof buf);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0) {
            ended_ = true;
            return;
        }
        for (ssize_t i = 0; i < got; ++i)
            if (buf[i] == '\n')
                ++lines_;
    }
}

std::string AnswerJson(int keypad, const std::string& key, const std::string& serial, int question,
                       long long elapsedMs)
{
    std::string line = "{\"keypad\":" + std::to_string(keypad) + ",\"key\":";
    AppendJsonString(line, key);
    line += ",\"serial\":";
    if (serial.empty())
        line += "null";
    else
        AppendJsonString(line, serial);
    line +=
        ",\"question\":" + std::to_string(question) + ",\"elapsed_ms\":" + std::to_string(elapsedMs) + "}";
    return line;
}

// --- PollRecording ------------------------------------------------------------------------------

PollRecording::PollRecording(const DiagOptions& o, std::ostream& json, Say say, int inputFd)
    : o_(o), json_(json), say_(std::move(say)), store_(MakeStore(o)), recorder_(store_.get(), TitleOf(o))
{
    if (store_) {
        // Shown once per failure; the store keeps the answers and retries.
        QObject::connect(store_.get(), &TSessionStore::StoreFailed, store_.get(),
                         [this](const QString& m) { say_("session store: " + m.toStdString()); });
        QObject::connect(store_.get(), &TSessionStore::StoreRecovered, store_.get(),
                         [this](const QString& m) { say_("session store: " + m.toStdString()); });
    }
    struct stat st {};
    const bool readable = ::fstat(inputFd, &st) == 0 && (::isatty(inputFd) == 1 || S_ISFIFO(st.st_mode));
    if (o.Record && o.QuestionSeconds == 0 && readable)
        input_ = std::make_unique<LineInput>(inputFd);
}

PollRecording::~PollRecording() = default;

int PollRecording::Start(int expectedKeypads)
{
    recorder_.SetExpectedKeypads(expectedKeypads);
    recorder_.Start();
    if (input_)
        say_("recording \"" + recorder_.Session().Title().toStdString() +
             "\": Enter starts the next question, end of input (Ctrl-D) ends the poll");
    return recorder_.OpenQuestion();
}

bool PollRecording::ShouldEnd() const
{
    return outputClosed_ || (input_ && input_->Ended());
}

bool PollRecording::Due() const
{
    if (ShouldEnd() || (input_ && input_->Lines() > linesUsed_))
        return true;
    const TPollQuestion* q = recorder_.Session().Question(recorder_.Session().CurrentQuestion());
    return o_.QuestionSeconds > 0 && q != nullptr &&
           Now().MonoMs - q->OpenedMono >= o_.QuestionSeconds * 1000LL;
}

int PollRecording::Advance()
{
    if (input_ && input_->Lines() > linesUsed_)
        ++linesUsed_;
    const int n = recorder_.OpenQuestion();
    say_("question " + std::to_string(n));
    return n;
}

void PollRecording::Record(int keypad, char key, const std::string& shown)
{
    const TInstant at = Now();
    const TPollSession& s = recorder_.Session();
    const int question = s.CurrentQuestion();
    const TPollQuestion* q = s.Question(question);
    recorder_.Answer(keypad, key, at);
    if (o_.Json && !outputClosed_) {
        json_ << AnswerJson(keypad, shown, s.KeypadSerial(keypad).toStdString(), question,
                            q ? at.MonoMs - q->OpenedMono : 0)
              << '\n'
              << std::flush;
        if (!json_) {
            outputClosed_ = true;
            say_("standard output was closed: the poll ends");
        }
    }
}

void PollRecording::KeypadData(int keypad, int value)
{
    Record(keypad, KeyFromDigit(value), std::to_string(value));
}

void PollRecording::SoftkeyData(int keypad, const std::string& key)
{
    Record(keypad, key.size() == 1 ? key[0] : 0, key);
}

void PollRecording::KeypadSerial(int keypad, const std::string& serial)
{
    recorder_.KeypadSerialNumber(keypad, serial);
}

bool PollRecording::Finish(std::ostream& summary)
{
    recorder_.End();
    if (!store_)
        return true;
    const TPollSession& s = recorder_.Session();
    if (!store_->Flush(1000)) {
        say_("writing " + std::to_string(store_->Status().WaitingAnswers) + " waiting answers to " +
             store_->Location().toStdString() + "...");
        store_->Flush(4000);
    }
    const TStoreStatus status = store_->Status();
    const int lost = store_->Close(1000);
    if (lost > 0) {
        // The session is still whole in memory: kept as an answers export instead.
        const QString rescue = QDir::temp().filePath(QStringLiteral("kivra-unsaved-%1.csv").arg(s.Uid()));
        const bool kept = WriteWholeFile(rescue, AnswersCsv(s)).isEmpty();
        say_(std::to_string(lost) + " answers could not be written to " + status.Location.toStdString() +
             (kept ? "; the session's answers are kept in " + rescue.toStdString() : "; they are lost"));
        return false;
    }
    std::string id = "not found";
    TSessionArchive archive(QString::fromStdString(o_.Db));
    if (archive.Open())
        for (const TSessionSummary& stored : archive.ListSessions())
            if (stored.Uid == s.Uid()) {
                id = std::to_string(stored.Id);
                break;
            }
    summary << "Session " << id << " \"" << s.Title().toStdString() << "\": " << s.CurrentQuestion()
            << " questions, " << s.AnswerCount() << " answers recorded in " << status.Location.toStdString()
            << '\n';
    return true;
}

} // namespace kivra::diag
