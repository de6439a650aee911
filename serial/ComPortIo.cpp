// The data path of the port: reads and writes with the classic timeout rules, the input queue,
// purging, line errors and modem status. A read or write that cannot finish at once stays
// outstanding, as an overlapped one would; the next operation of its kind finishes it first.
#include "serial/ComPort.h"

#include "serial/ComPortPosix.h"
#include "serial/MainThreadCall.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace kivra {
namespace {

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Total timeout of a transfer of `length` bytes, or -1 for none.
std::int64_t TotalTimeout(int multiplier, int constant, int length)
{
    const std::int64_t total = static_cast<std::int64_t>(static_cast<std::uint32_t>(multiplier)) * length +
                               static_cast<std::uint32_t>(constant);
    return total == 0 ? -1 : total;
}

} // namespace

bool TCustomComPort::FinishRead(bool wait)
{
    PendingRead& r = read_;
    const TTimeouts& t = *timeouts_;
    const auto interval = static_cast<std::uint32_t>(t.GetReadInterval());
    const auto multiplier = static_cast<std::uint32_t>(t.GetReadMultiplier());
    const auto constant = static_cast<std::uint32_t>(t.GetReadConstant());
    // Interval "all bits" with no totals: take what is there and return.
    const bool immediate = interval == kMaxDword && multiplier == 0 && constant == 0;
    // Interval and multiplier "all bits": return as soon as anything arrived.
    const bool anyByte = interval == kMaxDword && multiplier == kMaxDword;
    while (r.done < r.length) {
        const TIoResult io = ReadDevice(fd_, r.buffer + r.done, r.length - r.done);
        if (io.bytes > 0) {
            r.done += io.bytes;
            r.lastByte = NowMs();
            continue;
        }
        if (io.error.Interrupted())
            continue;
        if (!io.error.WouldBlock()) {
            r.active = false;
            RaiseSystemError(io.error);
        }
        if (immediate || (anyByte && r.done > 0))
            break;
        std::int64_t timeout = -1;
        const std::int64_t now = NowMs();
        if (r.deadline >= 0)
            timeout = std::max<std::int64_t>(0, r.deadline - now);
        if (!anyByte && interval != 0 && r.done > 0) {
            const std::int64_t left = std::max<std::int64_t>(0, r.lastByte + interval - now);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        if (timeout == 0)
            break;
        if (!wait)
            return false;
        if (const TPosixError err = WaitReadable(fd_, timeout)) {
            r.active = false;
            RaiseSystemError(err);
        }
    }
    r.active = false;
    r.shortfall = r.done < r.length;
    return true;
}

bool TCustomComPort::FinishWrite(bool wait)
{
    PendingWrite& w = write_;
    const int length = static_cast<int>(w.data.size());
    while (w.done < length) {
        const TIoResult io = WriteDevice(fd_, w.data.data() + w.done, length - w.done);
        if (io.bytes > 0) {
            w.done += io.bytes;
            continue;
        }
        if (io.error.Interrupted())
            continue;
        if (io.error && !io.error.WouldBlock()) {
            w.active = false;
            w.error = io.error;
            return true;
        }
        std::int64_t timeout = -1;
        if (w.deadline >= 0) {
            timeout = std::max<std::int64_t>(0, w.deadline - NowMs());
            if (timeout == 0)
                break;
        }
        if (!wait)
            return false;
        if (const TPosixError err = WaitWritable(fd_, timeout)) {
            w.active = false;
            w.error = err;
            return true;
        }
    }
    w.active = false;
    w.shortfall = w.done < length;
    return true;
}

void TCustomComPort::OnWritable()
{
    if (write_.active && fd_ >= 0)
        FinishWrite(false);
    if (!write_.active)
        StopWriteNotifier();
}

void TCustomComPort::StopWriteNotifier()
{
    if (writeNotifier_ != nullptr)
        writeNotifier_->setEnabled(false);
}

int TCustomComPort::Read(void* Buffer, int Length, bool WaitOnCompletion)
{
    CheckActive();
    if (beforeRead_)
        beforeRead_(this, Buffer, Length, WaitOnCompletion);
    WaitForReadCompletion();
    int transferred = 0;
    if (Length > 0) {
        const TTimeouts& t = *timeouts_;
        const std::int64_t total = TotalTimeout(t.GetReadMultiplier() == -1 ? 0 : t.GetReadMultiplier(),
                                                t.GetReadConstant(), Length);
        read_ = PendingRead{};
        read_.active = true;
        read_.buffer = static_cast<char*>(Buffer);
        read_.length = Length;
        read_.deadline = total < 0 ? -1 : NowMs() + total;
        FinishRead(false);
        transferred = read_.done;
        if (WaitOnCompletion) {
            WaitForReadCompletion();
            transferred = Length;
        }
    }
    if (afterRead_)
        afterRead_(this, Buffer, Length, WaitOnCompletion);
    return transferred;
}

int TCustomComPort::Write(const void* Buffer, int Length, bool WaitOnCompletion)
{
    CheckActive();
    if (beforeWrite_)
        beforeWrite_(this, const_cast<void*>(Buffer), Length, WaitOnCompletion);
    WaitForWriteCompletion();
    int transferred = 0;
    if (Length > 0) {
        const TTimeouts& t = *timeouts_;
        const std::int64_t total = TotalTimeout(t.GetWriteMultiplier(), t.GetWriteConstant(), Length);
        write_ = PendingWrite{};
        write_.active = true;
        const char* bytes = static_cast<const char*>(Buffer);
        write_.data.assign(bytes, bytes + Length);
        write_.deadline = total < 0 ? -1 : NowMs() + total;
        FinishWrite(false);
        transferred = write_.done;
        if (const TPosixError err = write_.error) {
            // A write the device refused at once is reported at once (a device that went away).
            write_.error = {};
            RaiseSystemError(err);
        }
        // Off the main thread nothing would finish the write later: finish it now.
        const bool finishNow =
            WaitOnCompletion ||
            (write_.active && (QCoreApplication::instance() == nullptr || !IsMainThread()));
        if (finishNow) {
            WaitForWriteCompletion();
            transferred = Length;
        } else if (write_.active) {
            if (writeNotifier_ == nullptr) {
                writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write);
                QObject::connect(writeNotifier_, &QSocketNotifier::activated, [this] { OnWritable(); });
            }
            writeNotifier_->setEnabled(true);
        }
    }
    if (afterWrite_)
        afterWrite_(this, const_cast<void*>(Buffer), Length, WaitOnCompletion);
    return transferred;
}

char TCustomComPort::ReadChar()
{
    char c = 0;
    Read(&c, 1, true);
    return c;
}

std::string TCustomComPort::ReadString()
{
    WaitForReadCompletion();
    const int n = InputCount();
    std::string text(static_cast<size_t>(n), '\0');
    Read(text.data(), n, true);
    return text;
}

void TCustomComPort::WriteString(const std::string& Text)
{
    Write(Text.data(), static_cast<int>(Text.size()), false);
}

int TCustomComPort::InputCount()
{
    int n = 0;
    if (const TPosixError err = QueuedInput(fd_, n))
        RaiseSystemError(err);
    const TLineErrors errors = FetchLineErrors();
    if (!errors.Empty() && onLineError_)
        onLineError_(this, errors);
    return n;
}

bool TCustomComPort::ReadPending()
{
    if (read_.active && fd_ >= 0)
        FinishRead(false);
    return read_.active;
}

bool TCustomComPort::WritePending()
{
    if (write_.active && fd_ >= 0)
        FinishWrite(false);
    return write_.active;
}

void TCustomComPort::WaitForReadCompletion()
{
    if (read_.active)
        FinishRead(true);
    if (read_.shortfall) {
        read_.shortfall = false;
        RaiseError(0, "Timeout");
    }
    CheckLineErrors();
}

void TCustomComPort::WaitForWriteCompletion()
{
    if (write_.active) {
        FinishWrite(true);
        StopWriteNotifier();
    }
    if (const TPosixError err = write_.error) {
        write_.error = {};
        RaiseSystemError(err);
    }
    if (write_.shortfall) {
        write_.shortfall = false;
        RaiseError(0, "Timeout");
    }
    CheckLineErrors();
}

TLineErrors TCustomComPort::FetchLineErrors()
{
    TLineErrors errors;
    if (!countersSupported_ || fd_ < 0)
        return errors;
    TComCounters c;
    if (const TPosixError err = lineIo_->GetCounters(fd_, c)) {
        if (err.NotSupported())
            return errors;
        RaiseSystemError(err);
    }
    const TComCounters& o = errorBaseline_;
    if (c.brk != o.brk)
        errors.Include(TLineError::leBreak);
    if (c.frame != o.frame)
        errors.Include(TLineError::leFrame);
    if (c.overrun != o.overrun)
        errors.Include(TLineError::leOverrun);
    if (c.bufOverrun != o.bufOverrun)
        errors.Include(TLineError::leRxOverflow);
    if (c.parity != o.parity)
        errors.Include(TLineError::leRxParity);
    errorBaseline_ = c;
    return errors;
}

void TCustomComPort::CheckLineErrors()
{
    CheckActive();
    const TLineErrors errors = FetchLineErrors();
    if (!errors.Empty() && onLineError_)
        onLineError_(this, errors);
}

void TCustomComPort::PurgeInput()
{
    if (fd_ < 0)
        return;
    if (read_.active) {
        read_.active = false;
        read_.shortfall = read_.done < read_.length;
    }
    if (const TPosixError err = FlushInput(fd_))
        RaiseSystemError(err);
}

void TCustomComPort::PurgeOutput()
{
    if (fd_ < 0)
        return;
    if (write_.active) {
        write_.active = false;
        write_.shortfall = true;
        StopWriteNotifier();
    }
    if (const TPosixError err = FlushOutput(fd_))
        RaiseSystemError(err);
}

TModemStatus TCustomComPort::GetModemStatus()
{
    CheckActive();
    int lines = 0;
    if (const TPosixError err = lineIo_->GetModemLines(fd_, lines)) {
        if (err.NotSupported())
            return {};
        RaiseSystemError(err);
    }
    TModemStatus status;
    if (lines & kLineCTS)
        status.Include(TModemStatusValue::msCTS);
    if (lines & kLineDSR)
        status.Include(TModemStatusValue::msDSR);
    if (lines & kLineRing)
        status.Include(TModemStatusValue::msRing);
    if (lines & kLineDCD)
        status.Include(TModemStatusValue::msRLSD);
    return status;
}

} // namespace kivra
