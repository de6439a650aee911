#pragma once
// The base station's wire protocol: line settings, control bytes, frames, lists, packets and
// commands. Everything that crosses the serial line is named here, once.

#include <array>
#include <cstdint>
#include <string_view>

namespace kivra::protocol {

using namespace std::string_view_literals;

// The line (set by the communication layer): 9600 baud, 8 data bits, no parity, 1 stop bit, DTR
// and RTS off, no driver flow control (XON and XOFF are ordinary data written by the host).
inline constexpr int kDetectionReadTimeoutMs = 1000; // read total time-out while detecting
inline constexpr int kDetectionMaxBytes = 200;       // bytes read before detection gives up

// Control bytes.
inline constexpr char kXOn = '\x11';
inline constexpr char kXOff = '\x13';
inline constexpr std::string_view kDetectionMark = "YZZ"sv;
inline constexpr std::string_view kListTerminator = "\r\n\xFF"sv;

// Tagged frames: <2 hex digits L><1 byte><tag><1 byte><content: L-T-4 bytes><2 bytes>.
// L counts every byte after the length field, so a frame is L+2 bytes.
inline constexpr int kLengthFieldSize = 2;
inline constexpr int kTagOffset = 3;     // length field and one byte precede the tag
inline constexpr int kFrameOverhead = 4; // bytes counted by L besides the tag and the content
inline constexpr std::string_view kDebugBadFrameLength = "Invalid frame length - skipping tag: "sv;
struct FrameTag {
    std::string_view tag;       // text on the wire
    std::string_view prefix;    // prefix of the queued message
    std::string_view debugText; // debug text emitted before the message
};
// In the order the framing pass looks for them.
inline constexpr std::array<FrameTag, 4> kFrameTags{{
    {"SERIAL #"sv, "SERIAL:"sv, "Base Serial found: "sv},
    {"STATUS"sv, "STATUS:"sv, "Base Status found: "sv},
    {"CHANNEL"sv, "CHANNEL:"sv, "Base Channel found: "sv},
    {"KIVRA"sv, "VER:"sv, "Version info found: "sv},
}};
// The rows of the table by name.
inline constexpr std::string_view kTagSerial = kFrameTags[0].tag;
inline constexpr std::string_view kTagStatus = kFrameTags[1].tag;
inline constexpr std::string_view kTagChannel = kFrameTags[2].tag;
inline constexpr std::string_view kTagVersion = kFrameTags[3].tag;
inline constexpr std::string_view kPrefixSerial = kFrameTags[0].prefix;
inline constexpr std::string_view kPrefixStatus = kFrameTags[1].prefix;
inline constexpr std::string_view kPrefixChannel = kFrameTags[2].prefix;
inline constexpr std::string_view kPrefixVersion = kFrameTags[3].prefix;

// Keypad list frames, sent in answer to "PD": <marker><2 bytes><7-byte entries><terminator>.
inline constexpr char kSerialListMarker = 'S';
inline constexpr char kTimestampListMarker = 'T';
inline constexpr std::string_view kPrefixSerialList = "KPS:"sv;
inline constexpr std::string_view kPrefixTimestampList = "KPTM:"sv;
inline constexpr int kListHeaderSize = 3; // marker and two bytes
inline constexpr int kListEntrySize = 7;
inline constexpr int kMaxListEntries = 650; // one per keypad of the largest model
//! Longest possible list frame, terminator included: a marker without a terminator this far
//! away cannot start a list.
inline constexpr int kMaxListFrameSize =
    kListHeaderSize + kListEntrySize * kMaxListEntries + static_cast<int>(kListTerminator.size());
inline constexpr std::string_view kDebugSerialListSeen = "KeypadSerial's found - is there enough data?"sv;
inline constexpr std::string_view kDebugSerialListIncomplete =
    "incomplete serial data - waiting for remaining serial numbers..."sv;
inline constexpr std::string_view kDebugSerialListFound = "Keypad Serial # found: "sv;
inline constexpr std::string_view kDebugTimestampListIncomplete =
    "incomplete timestamp data - waiting for remaining timestamps..."sv;
inline constexpr std::string_view kDebugTimestampListFound = "Keypad Timestamp(s) found: "sv;
inline constexpr std::string_view kDebugListTimeOut =
    "No keypad list arrived in time - no list expected any more"sv;

// Status byte of list entries: bits 7-6 battery 0-3, bits 5-3 firmware major, bits 2-0 minor.
inline constexpr int BatteryOf(std::uint8_t status)
{
    return status >> 6;
}
inline constexpr int VersionMajorOf(std::uint8_t status)
{
    return (status >> 3) & 7;
}
inline constexpr int VersionMinorOf(std::uint8_t status)
{
    return status & 7;
}
inline constexpr std::uint8_t MakeStatusByte(int battery, int major, int minor)
{
    return static_cast<std::uint8_t>(((battery & 3) << 6) | ((major & 7) << 3) | (minor & 7));
}
inline constexpr int kTimestampUnitMs = 50;

// Keypad data packets: <scan group letter><50 state bytes><3 bytes><2 bytes dropped>.
inline constexpr int kPacketSize = 56;
inline constexpr int kQueuedPacketSize = 54;
inline constexpr int kKeypadsPerGroup = 50;
inline constexpr std::string_view kDebugPacket = "Packet: "sv;

// Receive buffer bound (see TKivraFraming).
inline constexpr std::string_view kDebugBufferTrimmed = "Receive buffer full - oldest bytes dropped: "sv;

// Keypad state bytes.
inline constexpr char kStateNoAnswer = '-';
inline constexpr char kStateLowBattery = '?';
inline constexpr char kStateNotification = ':';
inline constexpr char kSoftKey1 = '<';
inline constexpr char kSoftKey2 = '=';
inline constexpr char kSoftKey3 = '>';
//! One of the 16 bytes a keypad state can be: "-", "0" to "9", ":", "<", "=", ">", "?".
inline constexpr bool IsKeypadState(char c)
{
    return c == kStateNoAnswer || (c >= '0' && c <= kStateNotification) ||
           (c >= kSoftKey1 && c <= kStateLowBattery);
}

// Commands (host to base) with the descriptions used in debug texts.
struct Command {
    std::string_view bytes;
    std::string_view description;
};
inline constexpr Command kCmdStartPolling{"\x11"sv, "StartPolling(): Start communication flow (XON)"sv};
inline constexpr Command kCmdStopPolling{"\x13"sv, "StopPolling(): Stop communication flow (XOFF)"sv};
inline constexpr Command kCmdPing{"XX"sv, "Pinging base..."sv};
inline constexpr Command kCmdBeginQuestion{"PT"sv, "BeginQuestion() - reset time stamps"sv};
inline constexpr Command kCmdCollectSerials{"PS"sv, "CollectKeypadSerialNumbers"sv};
inline constexpr Command kCmdRequestSerials{"PD"sv, "Request Serial Numbers"sv};
inline constexpr Command kCmdRequestTimestamps{"PD"sv, "Request Timestamps"sv};
inline constexpr Command kCmdRequestVersion{"WV"sv, "RequestBaseVersionInfo()"sv};
inline constexpr Command kCmdRequestStatus{"WS"sv, "RequestBaseStatus()"sv};
inline constexpr Command kCmdRequestSerial{"WN"sv, "RequestBaseSerialNumber()"sv};
inline constexpr Command kCmdRequestChannel{"BR"sv, "RequestBaseChannel()"sv};
inline constexpr Command kCmdUnlockAll{"K0"sv, "ApplyKeyLocks() - Unlock All"sv};
inline constexpr Command kCmdLockAllDigits{"KX"sv, "ApplyKeyLocks() - Lock All number keys"sv};
inline constexpr Command kCmdLockStar{"L:"sv, R"(ApplyKeyLocks() - Lock "*" key)"sv};
// "L" + digit locks one digit key: description "ApplyKeyLocks() - Lock \"<d>\" Key".
inline constexpr char kCmdLockDigitHead = 'L';
// "B" + one upper-case hex digit 1..F sets the channel: description "SetBaseChannel(<n>)".
inline constexpr char kCmdSetChannelHead = 'B';
inline constexpr std::string_view kDescSetChannel = "SetBaseChannel("sv;
// "S" + letter scans one group, "G" + letter scans groups up to that letter, "GA" the default.
inline constexpr char kCmdScanOneGroupHead = 'S';
inline constexpr char kCmdScanGroupsHead = 'G';
inline constexpr std::string_view kCmdScanDefault = "GA"sv;
inline constexpr std::string_view kDescScanRange = "DetermineOptimalScanningRange()"sv;
// "C" + settings byte, "D" + settings byte (raw bytes, 0x00 included).
inline constexpr char kCmdSettingsCHead = 'C';
inline constexpr char kCmdSettingsDHead = 'D';

} // namespace kivra::protocol
