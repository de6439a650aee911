#pragma once
// The serial port component: settings model, open/close and error reporting (ComPort.cpp), the
// data path (ComPortIo.cpp) and the line events, which its event thread (ComThread.h) turns into
// notifications on the main thread. The system calls are in ComPortPosix.cpp.

#include "core/Exception.h"
#include "serial/ComLineIo.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

namespace kivra {

//! Error of the serial port: ErrorCode is the errno of a failed system call, 0 for the port's own.
class EComError : public Exception {
public:
    EComError(int code, const std::string& msg) : Exception(msg), code_(code) {}
    int ErrorCode() const { return code_; }

private:
    int code_;
};

enum class TBaudRate : std::uint8_t {
    brDefault,
    br50,
    br75,
    br110,
    br150,
    br300,
    br600,
    br1200,
    br1800,
    br2000,
    br2400,
    br3600,
    br4800,
    br7200,
    br9600,
    br10400,
    br14400,
    br15625,
    br19200,
    br28800,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brCustom
};
enum class TDataBits : std::uint8_t { dbDefault, db4, db5, db6, db7, db8 };
enum class TParity : std::uint8_t { paDefault, paNone, paOdd, paEven, paMark, paSpace };
enum class TStopBits : std::uint8_t { sbDefault, sb1, sb1_5, sb2 };
enum class TDTRControl : std::uint8_t { dcDefault, dcDisable, dcEnable, dcHandshake };
enum class TRTSControl : std::uint8_t { rcDefault, rcDisable, rcEnable, rcHandshake, rcToggle };
enum class TXOnXOffControl : std::uint8_t { xcDefault, xcDisable, xcInput, xcOutput, xcInputOutput };
enum class TPriorityClass : std::uint8_t { pcDefault, pcIdle, pcNormal, pcHigh, pcRealTime };
enum class TThreadPriority : std::uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};
enum class TOption : std::uint8_t {
    opCheckParity,
    opOutputCTSFlow,
    opOutputDSRFlow,
    opDSRSensitivity,
    opTXContinueOnXOff,
    opUseErrorChar,
    opDiscardNullBytes,
    opAbortOnError
};
enum class TLineError : std::uint8_t {
    leBreak,
    leDeviceNotSelected,
    leFrame,
    leIO,
    leMode,
    leOutOfPaper,
    leOverrun,
    lePrinterTimeout,
    leRxOverflow,
    leRxParity,
    leTxFull
};
enum class TModemStatusValue : std::uint8_t { msCTS, msDSR, msRing, msRLSD };
enum class TComAction : std::uint8_t { caRaise, caAbort };

//! A set of enumeration members; member n is bit n of Storage.
template <typename E, typename Storage> class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> members)
    {
        for (E m : members)
            Include(m);
    }
    static constexpr TSet FromBits(Storage bits)
    {
        TSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
    constexpr TSet& Include(E m)
    {
        bits_ = static_cast<Storage>(bits_ | Bit(m));
        return *this;
    }
    constexpr TSet& Exclude(E m)
    {
        bits_ = static_cast<Storage>(bits_ & ~Bit(m));
        return *this;
    }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr Storage Bits() const { return bits_; }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr Storage Bit(E m) { return static_cast<Storage>(Storage{1} << static_cast<int>(m)); }
    Storage bits_ = 0;
};

using TOptions = TSet<TOption, std::uint8_t>;
using TLineErrors = TSet<TLineError, std::uint16_t>;
using TModemStatus = TSet<TModemStatusValue, std::uint8_t>;

// Line event bits, as the event thread reports them in EventMask().
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;
inline constexpr std::uint32_t EV_PERR = 0x0200;
inline constexpr std::uint32_t EV_RX80FULL = 0x0400;
inline constexpr std::uint32_t EV_EVENT1 = 0x0800;
inline constexpr std::uint32_t EV_EVENT2 = 0x1000;

class TCustomComPort;
class TComThread;
struct TLineSettings;

using TNotifyEvent = std::function<void(TCustomComPort* Sender)>;
using TOpenCloseEvent = std::function<void(TCustomComPort* ComPort)>;
using TReadWriteEvent =
    std::function<void(TCustomComPort* Sender, void* Buffer, int Length, bool WaitOnCompletion)>;
using TComErrorEvent = std::function<void(TCustomComPort* ComPort, const EComError& E, TComAction& Action)>;
using TLineErrorEvent = std::function<void(TCustomComPort* Sender, TLineErrors LineErrors)>;

class TFlowControl {
public:
    explicit TFlowControl(TCustomComPort* port) : port_(port) {}
    TDTRControl GetDTR() const { return dtr_; }
    void SetDTR(TDTRControl v);
    TRTSControl GetRTS() const { return rts_; }
    void SetRTS(TRTSControl v);
    TXOnXOffControl GetXOnXOff() const { return xonxoff_; }
    void SetXOnXOff(TXOnXOffControl v);
    std::uint16_t GetXOnLimit() const { return xonLimit_; }
    void SetXOnLimit(std::uint16_t v);
    std::uint16_t GetXOffLimit() const { return xoffLimit_; }
    void SetXOffLimit(std::uint16_t v);

private:
    TCustomComPort* port_;
    TDTRControl dtr_ = TDTRControl::dcDefault;
    TRTSControl rts_ = TRTSControl::rcDefault;
    TXOnXOffControl xonxoff_ = TXOnXOffControl::xcDefault;
    std::uint16_t xonLimit_ = 0;
    std::uint16_t xoffLimit_ = 0;
};

class TCharacters {
public:
    explicit TCharacters(TCustomComPort* port) : port_(port) {}
    char GetXOn() const { return xon_; }
    void SetXOn(char v);
    char GetXOff() const { return xoff_; }
    void SetXOff(char v);
    char GetError() const { return error_; }
    void SetError(char v);
    char GetEof() const { return eof_; }
    void SetEof(char v);
    char GetEvent() const { return event_; }
    void SetEvent(char v);

private:
    TCustomComPort* port_;
    char xon_ = 17;
    char xoff_ = 19;
    char error_ = 0;
    char eof_ = 0;
    char event_ = 0;
};

class TBufferSizes {
public:
    explicit TBufferSizes(TCustomComPort* port) : port_(port) {}
    int GetInput() const { return input_; }
    void SetInput(int v);
    int GetOutput() const { return output_; }
    void SetOutput(int v);

private:
    TCustomComPort* port_;
    int input_ = 4096;
    int output_ = 2048;
};

//! Read and write timeouts in milliseconds, with the classic interval/multiplier/constant meaning:
//! ReadInterval -1 (all bits set) with both read totals 0 returns at once with what is waiting.
class TTimeouts {
public:
    explicit TTimeouts(TCustomComPort* port) : port_(port) {}
    int GetReadInterval() const { return readInterval_; }
    void SetReadInterval(int v);
    int GetReadMultiplier() const { return readMultiplier_; }
    void SetReadMultiplier(int v);
    int GetReadConstant() const { return readConstant_; }
    void SetReadConstant(int v);
    int GetWriteMultiplier() const { return writeMultiplier_; }
    void SetWriteMultiplier(int v);
    int GetWriteConstant() const { return writeConstant_; }
    void SetWriteConstant(int v);

private:
    TCustomComPort* port_;
    int readInterval_ = 0;
    int readMultiplier_ = 0;
    int readConstant_ = 0;
    int writeMultiplier_ = 0;
    int writeConstant_ = 0;
};

//! The port. All operations belong to the main thread (the thread of the QCoreApplication);
//! Close may also be called from the event thread and then runs on the main thread.
//! Without a QCoreApplication, line events are dispatched on the event thread itself.
class TCustomComPort {
public:
    TCustomComPort();
    virtual ~TCustomComPort();
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    //! Acquires the device and applies every setting.
    virtual void OpenHandles();

    std::string GetAbout() const;
    void SetAbout(const std::string&) {}
    bool GetActive() const;
    void SetActive(bool value);
    void Open();
    void Close();

    TBaudRate GetBaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate v);
    int GetCustomBaudRate() const;
    void SetCustomBaudRate(int v);
    TDataBits GetDataBits() const { return dataBits_; }
    void SetDataBits(TDataBits v);
    const std::string& GetDeviceName() const { return deviceName_; }
    void SetDeviceName(const std::string& v);
    TOptions GetOptions() const { return options_; }
    void SetOptions(TOptions v);
    TParity GetParity() const { return parity_; }
    void SetParity(TParity v);
    TPriorityClass GetPriorityClass() const { return priorityClass_; }
    void SetPriorityClass(TPriorityClass v);
    TStopBits GetStopBits() const { return stopBits_; }
    void SetStopBits(TStopBits v);
    bool GetSynchronizeEvents() const { return synchronizeEvents_; }
    void SetSynchronizeEvents(bool v);
    TThreadPriority GetThreadPriority() const { return threadPriority_; }
    void SetThreadPriority(TThreadPriority v);
    TModemStatus GetModemStatus();

    TFlowControl& FlowControl() { return *flowControl_; }
    TCharacters& Characters() { return *characters_; }
    TBufferSizes& BufferSizes() { return *bufferSizes_; }
    TTimeouts& Timeouts() { return *timeouts_; }
    const TFlowControl& FlowControl() const { return *flowControl_; }
    const TCharacters& Characters() const { return *characters_; }
    const TBufferSizes& BufferSizes() const { return *bufferSizes_; }
    const TTimeouts& Timeouts() const { return *timeouts_; }

    // Data path.
    int Read(void* Buffer, int Length, bool WaitOnCompletion);
    int Write(const void* Buffer, int Length, bool WaitOnCompletion);
    char ReadChar();
    std::string ReadString();
    void WriteString(const std::string& Text);
    int InputCount();
    bool ReadPending();
    bool WritePending();
    void WaitForReadCompletion();
    void WaitForWriteCompletion();
    void CheckLineErrors();
    void PurgeInput();
    void PurgeOutput();
    //! Event bits of the last completed wait of the event thread.
    std::uint32_t EventMask() const { return eventMask_.load(); }
    //! The mask of line events the assigned handlers ask for.
    std::uint32_t HandlerMask() const;
    bool HasEventThread() const { return thread_ != nullptr; }

    //! Replaces the few ioctls for modem lines and line counters (tests inject their own).
    void SetLineIo(std::shared_ptr<TComLineIo> io);

    // Events.
    void SetAfterClose(TOpenCloseEvent h) { afterClose_ = std::move(h); }
    const TOpenCloseEvent& GetAfterClose() const { return afterClose_; }
    void SetAfterOpen(TOpenCloseEvent h) { afterOpen_ = std::move(h); }
    const TOpenCloseEvent& GetAfterOpen() const { return afterOpen_; }
    void SetAfterRead(TReadWriteEvent h) { afterRead_ = std::move(h); }
    const TReadWriteEvent& GetAfterRead() const { return afterRead_; }
    void SetAfterWrite(TReadWriteEvent h) { afterWrite_ = std::move(h); }
    const TReadWriteEvent& GetAfterWrite() const { return afterWrite_; }
    void SetBeforeClose(TOpenCloseEvent h) { beforeClose_ = std::move(h); }
    const TOpenCloseEvent& GetBeforeClose() const { return beforeClose_; }
    void SetBeforeOpen(TOpenCloseEvent h) { beforeOpen_ = std::move(h); }
    const TOpenCloseEvent& GetBeforeOpen() const { return beforeOpen_; }
    void SetBeforeRead(TReadWriteEvent h) { beforeRead_ = std::move(h); }
    const TReadWriteEvent& GetBeforeRead() const { return beforeRead_; }
    void SetBeforeWrite(TReadWriteEvent h) { beforeWrite_ = std::move(h); }
    const TReadWriteEvent& GetBeforeWrite() const { return beforeWrite_; }
    void SetOnError(TComErrorEvent h) { onError_ = std::move(h); }
    const TComErrorEvent& GetOnError() const { return onError_; }

    void SetOnBreak(TNotifyEvent h) { SetLineHandler(onBreak_, std::move(h)); }
    const TNotifyEvent& GetOnBreak() const { return onBreak_; }
    void SetOnCTSChange(TNotifyEvent h) { SetLineHandler(onCTSChange_, std::move(h)); }
    const TNotifyEvent& GetOnCTSChange() const { return onCTSChange_; }
    void SetOnDSRChange(TNotifyEvent h) { SetLineHandler(onDSRChange_, std::move(h)); }
    const TNotifyEvent& GetOnDSRChange() const { return onDSRChange_; }
    void SetOnLineError(TLineErrorEvent h);
    const TLineErrorEvent& GetOnLineError() const { return onLineError_; }
    void SetOnEvent1(TNotifyEvent h) { SetLineHandler(onEvent1_, std::move(h)); }
    const TNotifyEvent& GetOnEvent1() const { return onEvent1_; }
    void SetOnEvent2(TNotifyEvent h) { SetLineHandler(onEvent2_, std::move(h)); }
    const TNotifyEvent& GetOnEvent2() const { return onEvent2_; }
    void SetOnPrinterError(TNotifyEvent h) { SetLineHandler(onPrinterError_, std::move(h)); }
    const TNotifyEvent& GetOnPrinterError() const { return onPrinterError_; }
    void SetOnRing(TNotifyEvent h) { SetLineHandler(onRing_, std::move(h)); }
    const TNotifyEvent& GetOnRing() const { return onRing_; }
    void SetOnRLSDChange(TNotifyEvent h) { SetLineHandler(onRLSDChange_, std::move(h)); }
    const TNotifyEvent& GetOnRLSDChange() const { return onRLSDChange_; }
    void SetOnRx80PercFull(TNotifyEvent h) { SetLineHandler(onRx80PercFull_, std::move(h)); }
    const TNotifyEvent& GetOnRx80PercFull() const { return onRx80PercFull_; }
    void SetOnRxChar(TNotifyEvent h) { SetLineHandler(onRxChar_, std::move(h)); }
    const TNotifyEvent& GetOnRxChar() const { return onRxChar_; }
    void SetOnRxFlag(TNotifyEvent h) { SetLineHandler(onRxFlag_, std::move(h)); }
    const TNotifyEvent& GetOnRxFlag() const { return onRxFlag_; }
    void SetOnTxEmpty(TNotifyEvent h) { SetLineHandler(onTxEmpty_, std::move(h)); }
    const TNotifyEvent& GetOnTxEmpty() const { return onTxEmpty_; }

    //! The device settings the port's properties stand for (what ApplyDeviceState writes).
    TLineSettings LineSettings() const;

    // Used by the settings objects.
    void ApplyDeviceState();
    void ApplyBufferSizes();
    void ApplyTimeouts();

    //! Raises EComError(code, message) after OnError saw it; EAbort when OnError chose caAbort.
    [[noreturn]] void RaiseError(int code, const std::string& message);

protected:
    void CloseHandles();
    void CheckActive();
    void CheckInactive();
    [[noreturn]] void RaiseSystemError(TPosixError error);
    void UpdateEventMask();
    void StartEventThread();
    void StopEventThread();
    void DispatchEvents(std::uint32_t mask);

private:
    friend class TComThread;
    struct TLineEventRow {
        std::uint32_t bit;
        TNotifyEvent TCustomComPort::*handler; // null for the line-error row
    };
    static const TLineEventRow kLineEvents[13]; // in dispatch order
    void SetLineHandler(TNotifyEvent& slot, TNotifyEvent h);
    TLineErrors FetchLineErrors();
    bool FinishRead(bool wait);
    bool FinishWrite(bool wait);
    void OnWritable();
    void StopWriteNotifier();
    void DeviceGone(TPosixError error);
    void ReapStoppedThreads(bool all);

    // Everything below belongs to the main thread, except what is marked atomic. The event thread
    // works on its own copies of the descriptor, the line IO and the input size; only with
    // SynchronizeEvents false does it run DispatchEvents itself (the handlers must then allow it).
    int fd_ = -1;
    std::string lockPath_; // the UUCP lock file taken while open, or ""
    std::unique_ptr<TComThread> thread_;
    // Stopped threads that still wait for a hand-over running further up this call stack.
    std::vector<std::unique_ptr<TComThread>> stoppedThreads_;
    // Lets a deferred clean-up know whether the port still exists.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::atomic<std::uint32_t> eventMask_{0}; // atomic: written by the event thread
    std::atomic<std::uint32_t> waitMask_{0};  // atomic: read by the event thread
    int savedPriority_ = 0;
    bool prioritySaved_ = false;
    TThreadPriority threadPriority_ = TThreadPriority::tpTimeCritical;
    int customBaudRate_ = 0;

    TBaudRate baudRate_ = TBaudRate::brDefault;
    TDataBits dataBits_ = TDataBits::dbDefault;
    std::string deviceName_ = "COM2";
    TOptions options_;
    TParity parity_ = TParity::paDefault;
    TPriorityClass priorityClass_ = TPriorityClass::pcDefault;
    TStopBits stopBits_ = TStopBits::sbDefault;
    bool synchronizeEvents_ = true; // read by the event thread as it starts; fixed while open
    std::unique_ptr<TFlowControl> flowControl_;
    std::unique_ptr<TCharacters> characters_;
    std::unique_ptr<TBufferSizes> bufferSizes_;
    std::unique_ptr<TTimeouts> timeouts_;
    std::shared_ptr<TComLineIo> lineIo_;

    // Outstanding read: bytes go straight into the caller's buffer, as with an overlapped read.
    struct PendingRead {
        bool active = false;
        char* buffer = nullptr;
        int length = 0;
        int done = 0;
        std::int64_t deadline = -1; // steady-clock ms, -1 = none
        std::int64_t lastByte = -1;
        bool shortfall = false; // completed with fewer bytes than asked, not yet reported
    } read_;
    // Outstanding write: the port keeps its own copy of the bytes until they left.
    struct PendingWrite {
        bool active = false;
        std::vector<char> data;
        int done = 0;
        std::int64_t deadline = -1;
        bool shortfall = false;
        TPosixError error; // of a write finished in the background, not yet reported
    } write_;
    QSocketNotifier* writeNotifier_ = nullptr;
    // Line-counter baseline for line errors reported to OnLineError.
    TComCounters errorBaseline_;
    bool countersSupported_ = false;
    // Bumped by every close: a delivery that started before it stops calling handlers.
    std::atomic<unsigned> generation_{0}; // atomic: read by deliveries on the event thread

    TOpenCloseEvent afterClose_, afterOpen_, beforeClose_, beforeOpen_;
    TReadWriteEvent afterRead_, afterWrite_, beforeRead_, beforeWrite_;
    TComErrorEvent onError_;
    TNotifyEvent onBreak_, onCTSChange_, onDSRChange_, onEvent1_, onEvent2_, onPrinterError_, onRing_,
        onRLSDChange_, onRx80PercFull_, onRxChar_, onRxFlag_, onTxEmpty_;
    TLineErrorEvent onLineError_;
};

//! The published port; adds nothing to TCustomComPort.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};

} // namespace kivra
