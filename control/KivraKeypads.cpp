// TKivra: the keypad list and its scanning range, and the keypad answers, serial-number lists and
// timestamp lists the base sends.

#include "control/Kivra.h"
#include "control/KivraProtocol.h"
#include "control/KivraTexts.h"

#include "core/Exception.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kivra {

namespace {

namespace proto = kivra::protocol;

std::string Dec(long long value)
{
    return std::to_string(value);
}

bool IsRangeBlank(char c)
{
    return c == ' ';
}

//! The character as it is shown in a message: printable bytes as they are, others as a code.
std::string ShowCharacter(char c)
{
    const auto code = static_cast<unsigned char>(c);
    if (code >= 0x20 && code < 0x7F)
        return std::string("\"") + c + "\"";
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "#%u", static_cast<unsigned>(code));
    return buffer;
}

//! "x.y" from the major and minor firmware bits of a list entry's status byte.
std::string VersionText(std::uint8_t status)
{
    return Dec(proto::VersionMajorOf(status)) + "." + Dec(proto::VersionMinorOf(status));
}

std::uint8_t ByteAt(const std::string& text, std::size_t index)
{
    return static_cast<std::uint8_t>(text[index]);
}

//! Number of complete 7-byte entries in a list body; a partial last entry is ignored.
std::size_t CompleteEntries(std::size_t bodySize)
{
    return bodySize / proto::kListEntrySize;
}

//! Walks the complete entries of a keypad list message ("KPS:" or "KPTM:", the marker, two bytes,
//! then the entries): entry(offset, last) for each until it returns false. An empty list, or one
//! holding only a partial entry, still ends: empty() runs instead.
template <typename Empty, typename Entry>
void ForEachListEntry(const std::string& message, std::size_t prefixSize, Empty&& empty, Entry&& entry)
{
    const std::size_t skip = prefixSize + proto::kListHeaderSize;
    const std::size_t bodySize = message.size() > skip ? message.size() - skip : 0;
    const std::size_t count = CompleteEntries(bodySize);
    if (count == 0) {
        empty();
        return;
    }
    for (std::size_t e = 0; e < count; ++e)
        if (!entry(skip + e * proto::kListEntrySize, e + 1 == count))
            return;
}

} // namespace

// --- TKeypadAddSet ------------------------------------------------------------------------------

TKeypadAddSet::TKeypadAddSet(int MaxKeypads, int KeypadNumber, int KeypadCount) : MaxKeypads_(MaxKeypads)
{
    KeypadNumber_ = KeypadNumber;
    if (KeypadNumber < 1 || KeypadNumber > MaxKeypads)
        throw Exception(texts::KeypadOutsideBounds(KeypadNumber, MaxKeypads));
    KeypadCount_ = KeypadCount;
    if (KeypadCount < 1)
        throw Exception(std::string(texts::kKeypadCountBelowOne));
    // 64-bit so that a count near the 32-bit limit cannot wrap around.
    if (static_cast<long long>(KeypadNumber) + KeypadCount - 1 > MaxKeypads)
        throw Exception(texts::RangeExceedsModel(MaxKeypads));
}

// --- Range text parser --------------------------------------------------------------------------

std::vector<TKeypadAddSet> ParseKeypadRangeText(const std::string& Keypads, int MaxKeypads)
{
    // First pass: nothing is parsed while the text holds a character the grammar does not know.
    for (std::size_t i = 0; i < Keypads.size(); ++i) {
        const char c = Keypads[i];
        if (!IsNumeric(c) && c != ',' && c != '-' && !IsRangeBlank(c))
            throw Exception(texts::InvalidRangeCharacter(ShowCharacter(c), i + 1));
    }

    std::vector<TKeypadAddSet> sets;
    long long start = 0;
    long long end = 0;
    bool inRange = false;

    for (std::size_t i = 0; i < Keypads.size(); ++i) {
        const char c = Keypads[i];
        if (IsNumeric(c)) {
            long long& number = inRange ? end : start;
            number = number * 10 + (c - '0');
            if (number > INT_MAX) {
                // Show the whole number as written (blanks inside a number are ignored).
                std::string digits = Dec(number);
                for (std::size_t j = i + 1;
                     j < Keypads.size() && (IsNumeric(Keypads[j]) || IsRangeBlank(Keypads[j])); ++j) {
                    if (IsNumeric(Keypads[j]))
                        digits.push_back(Keypads[j]);
                }
                throw Exception(texts::KeypadNumberTooLarge(digits, INT_MAX));
            }
        } else if (c == '-') {
            if (inRange)
                throw Exception(std::string(texts::kRangeNotation));
            inRange = true;
        } else if (c == ',') {
            // An element that is not a proper keypad or range is dropped without a message here.
            if (inRange) {
                if (start > 0 && end > 0 && start <= end)
                    sets.emplace_back(MaxKeypads, static_cast<int>(start), static_cast<int>(end - start + 1));
            } else if (start > 0) {
                sets.emplace_back(MaxKeypads, static_cast<int>(start), 1);
            }
            start = 0;
            end = 0;
            inRange = false;
        }
    }

    // The last element is closed more strictly than one followed by a comma.
    if (inRange) {
        if (end < 1)
            throw Exception(std::string(texts::kRangeWithoutUpperEnd));
        if (start >= end)
            throw Exception(texts::RangeNotAscending(start, end));
        sets.emplace_back(MaxKeypads, static_cast<int>(start), static_cast<int>(end - start + 1));
    } else if (start > 0) {
        sets.emplace_back(MaxKeypads, static_cast<int>(start), 1);
    }
    return sets;
}

// --- Keypad list --------------------------------------------------------------------------------

void TKivra::AddKeypad(int KeypadNumber, int Count)
{
    // These checks raise directly: no OnError, no LastErrorCode, whatever ErrorExceptionsEnabled says.
    const long long last = static_cast<long long>(KeypadNumber) + Count - 1;
    if (KeypadNumber > MaxKeypads_)
        throw Exception(texts::AddKeypadBeyondMax(KeypadNumber, MaxKeypads_));
    if (last > MaxKeypads_)
        throw Exception(texts::AddCountBeyondMax(Count, MaxKeypads_));
    if (KeypadNumber < 1)
        throw Exception(texts::AddKeypadNotPositive(KeypadNumber));
    if (Count < 1)
        throw Exception(std::string(texts::kAddCountNotPositive));

    auto& entries = KeypadList_[0];
    const long long lastIndex = static_cast<long long>(entries.size()) - 1;
    for (long long k = KeypadNumber; k <= last; ++k) {
        if (k - 1 > lastIndex)
            throw Exception(texts::KeypadListTooSmall(MaxKeypads_, lastIndex));
        entries[static_cast<std::size_t>(k - 1)] = 1;
    }

    if (GetConnected())
        DetermineOptimalScanningRange();
}

void TKivra::AddKeypad(const std::string& Keypads)
{
    // The whole text is parsed before the list changes, so a bad element changes nothing.
    for (const TKeypadAddSet& set : ParseKeypadRangeText(Keypads, MaxKeypads_))
        AddKeypad(set.KeypadNumber(), set.KeypadCount());
}

void TKivra::RemoveKeypad(int KeypadNumber, int Count)
{
    const long long last = static_cast<long long>(KeypadNumber) + Count - 1;
    if (KeypadNumber > MaxKeypads_) {
        ReportError(kErrArgument, texts::KeypadAboveMax(KeypadNumber, MaxKeypads_));
        return;
    }
    if (last > MaxKeypads_) {
        ReportError(kErrArgument, texts::KeypadRangeAboveMax(KeypadNumber, Count, MaxKeypads_));
        return;
    }
    if (KeypadNumber < 1) {
        ReportError(kErrArgument, texts::KeypadNotPositive(KeypadNumber));
        return;
    }
    if (Count < 1) {
        ReportError(kErrArgument, std::string(texts::kCountNotPositive));
        return;
    }

    auto& entries = KeypadList_[0];
    const auto stop = std::min<long long>({last, MaxKeypads_, static_cast<long long>(entries.size())});
    for (long long k = KeypadNumber; k <= stop; ++k)
        entries[static_cast<std::size_t>(k - 1)] = 0;
    // Removing sends nothing: the scan range follows at the next add while connected, or Connect.
}

void TKivra::RemoveKeypad(const std::string& Keypads)
{
    for (const TKeypadAddSet& set : ParseKeypadRangeText(Keypads, MaxKeypads_))
        RemoveKeypad(set.KeypadNumber(), set.KeypadCount());
}

void TKivra::ClearKeypadList()
{
    RemoveKeypad(1, MaxKeypads_);
}

std::string TKivra::GetKeypadList()
{
    const auto& entries = KeypadList_[0];
    const int limit = std::min(MaxKeypads_, static_cast<int>(entries.size()));
    std::string list;
    for (int k = 1; k <= limit; ++k) {
        if (entries[static_cast<std::size_t>(k - 1)] == 0)
            continue;
        list += Dec(k);
        list += ',';
        if (DebugWanted())
            ReportDebug(Dec(k - 1));
    }
    if (!list.empty())
        list.pop_back();
    return list;
}

int TKivra::GetKeypadListCount() const
{
    // All of the storage counts, also entries above the model's capacity.
    const auto& entries = KeypadList_[0];
    return static_cast<int>(
        std::count_if(entries.begin(), entries.end(), [](std::uint8_t e) { return e != 0; }));
}

bool TKivra::IsScanGroupActive(int Group)
{
    if (Group < 1 || Group > ScanGroupCount_)
        return false;
    const auto& entries = KeypadList_[0];
    const int first = (Group - 1) * proto::kKeypadsPerGroup + 1;
    const int last =
        std::min({Group * proto::kKeypadsPerGroup, MaxKeypads_, static_cast<int>(entries.size())});
    for (int k = first; k <= last; ++k) {
        if (entries[static_cast<std::size_t>(k - 1)] != 0)
            return true;
    }
    return false;
}

void TKivra::DetermineOptimalScanningRange()
{
    if (Layer_ == nullptr || KivraModel_ == rstKivraModel::mNone || KivraModel_ == rstKivraModel::mKivraEv)
        return;

    int active = 0;
    int highest = 0;
    for (int g = 1; g <= ScanGroupCount_; ++g) {
        if (IsScanGroupActive(g)) {
            ++active;
            highest = g;
        }
    }

    const char highestLetter = static_cast<char>(FirstScanGroup_ + highest - 1);
    if (active == 1)
        ScanRangeCommand_ = std::string{proto::kCmdScanOneGroupHead, highestLetter};
    else if (active > 1)
        ScanRangeCommand_ = std::string{proto::kCmdScanGroupsHead, highestLetter};
    else
        ScanRangeCommand_ = std::string(proto::kCmdScanDefault);
    SendToBase(ScanRangeCommand_, std::string(proto::kDescScanRange));
}

void TKivra::CollectKeypadSerialNumbers()
{
    if (KivraModel_ != rstKivraModel::mKivraSol) {
        ReportDebug("CollectKeypadSerialNumbers is not supported by this Kivra model.");
        return;
    }
    if (!GetConnected()) {
        ReportError(kErrState, std::string(texts::kCollectSerialsNotConnected));
        return;
    }
    SendToBase(std::string(proto::kCmdCollectSerials.bytes),
               std::string(proto::kCmdCollectSerials.description));
    TimestampMode_ = false;
}

// --- Keypad responses ---------------------------------------------------------------------------

void TKivra::BeginQuestion(int QuestionNumber)
{
    if (!GetConnected()) {
        ReportError(kErrState, std::string(texts::kBeginQuestionNotConnected));
        return;
    }
    QuestionNumber_ = Dec(QuestionNumber);
    SendToBase(std::string(proto::kCmdBeginQuestion.bytes),
               std::string(proto::kCmdBeginQuestion.description));
    TimestampMode_ = true;
}

void TKivra::RequestKeypadSerialNumbers()
{
    if (!GetConnected())
        ReportError(kErrState, std::string(texts::kRequestSerialsNotConnected));
    else if (TimestampMode_)
        ReportError(kErrArgument, std::string(texts::kRequestSerialsInTimestampMode));
    else
        SendToBase(std::string(proto::kCmdRequestSerials.bytes),
                   std::string(proto::kCmdRequestSerials.description));
}

void TKivra::RequestKeypadTimestamps()
{
    if (!GetConnected())
        ReportError(kErrState, std::string(texts::kRequestTimestampsNotConnected));
    else if (TimestampMode_)
        SendToBase(std::string(proto::kCmdRequestTimestamps.bytes),
                   std::string(proto::kCmdRequestTimestamps.description));
    else
        ReportError(kErrArgument, std::string(texts::kRequestTimestampsInSerialMode));
}

bool TKivra::IsKeypadListed(int n)
{
    const auto& entries = KeypadList_[0];
    if (n > MaxKeypads_ || n < 1 || n > static_cast<int>(entries.size())) {
        ReportError(kErrArgument, texts::InvalidKeypad(n));
        return false;
    }
    return entries[static_cast<std::size_t>(n - 1)] != 0;
}

void TKivra::ParseKeypadPacket(const std::string& message)
{
    if (!Polling_) {
        ReportDebug("Polling Disabled - Discarding Data Packet (to process data call StartPolling).");
        return;
    }
    if (message.empty())
        return;

    const int group =
        static_cast<int>(ByteAt(message, 0)) - static_cast<int>(static_cast<unsigned char>(FirstScanGroup_));
    // A queued packet always holds 50 state bytes; a shorter message is read as far as it goes.
    const int states = std::min(proto::kKeypadsPerGroup, static_cast<int>(message.size()) - 1);
    for (int k = 1; k <= states; ++k) {
        const char c = message[static_cast<std::size_t>(k)];
        const int n = group * proto::kKeypadsPerGroup + k;
        // Handlers are copied before the call, so one that rebinds its own slot stays alive.
        if (c == proto::kStateLowBattery) {
            if (OnLowBatteryWarning_ && IsKeypadListed(n)) {
                const auto handler = OnLowBatteryWarning_;
                handler(n);
            }
        } else if (c == proto::kStateNotification) {
            if (OnKeypadNotification_ && IsKeypadListed(n)) {
                const auto handler = OnKeypadNotification_;
                handler(n);
            }
        } else if (IsNumeric(c)) {
            if (OnKeypadDataReceived_ && IsKeypadListed(n)) {
                const auto handler = OnKeypadDataReceived_;
                handler(n, c - '0');
            }
        } else if (c == proto::kSoftKey1 || c == proto::kSoftKey2 || c == proto::kSoftKey3) {
            if (OnSoftkeyDataReceived_ && IsKeypadListed(n)) {
                const auto handler = OnSoftkeyDataReceived_;
                handler(n, std::string(1, c));
            }
        } else if (c != proto::kStateNoAnswer) {
            ReportError(kErrUnrecognised, texts::UnrecognisedKeypadData(n, c));
        }
    }
}

void TKivra::ParseSerialNumberList(const std::string& message)
{
    if (!OnKeypadSerialNumber_)
        return;
    ForEachListEntry(
        message, proto::kPrefixSerialList.size(),
        [this] {
            const auto handler = OnKeypadSerialNumber_;
            handler(0, "-", "-", 0, true);
        },
        [this, &message](std::size_t at, bool last) {
            const auto handler = OnKeypadSerialNumber_;
            if (!handler)
                return false; // unbound by an earlier event
            const std::string serial = HexByte(ByteAt(message, at + 1)) + HexByte(ByteAt(message, at + 2)) +
                                       HexByte(ByteAt(message, at + 3));
            const std::uint8_t status = ByteAt(message, at + 4);
            handler(ByteAt(message, at), serial, VersionText(status), proto::BatteryOf(status), last);
            return true;
        });
}

void TKivra::ParseTimestampList(const std::string& message)
{
    if (!OnKeypadTimestamp_)
        return;
    ForEachListEntry(
        message, proto::kPrefixTimestampList.size(),
        [this] {
            const auto handler = OnKeypadTimestamp_;
            handler(0, 0, 0, "-", 0, true);
        },
        [this, &message](std::size_t at, bool last) {
            const auto handler = OnKeypadTimestamp_;
            if (!handler)
                return false;
            // A list that comes before any BeginQuestion belongs to no question: number 0, entries kept.
            const int questionNumber = QuestionNumber_.empty() ? 0 : StrToInt(QuestionNumber_);
            const int timestamp =
                (ByteAt(message, at + 1) * 256 + ByteAt(message, at + 2)) * proto::kTimestampUnitMs;
            const std::uint8_t status = ByteAt(message, at + 4);
            handler(ByteAt(message, at), questionNumber, timestamp, VersionText(status),
                    proto::BatteryOf(status), last);
            return true;
        });
}

} // namespace kivra
