#pragma once
// The error texts the control and its communication layer report (OnError, LastErrorMessage, the
// raised exception), the refusals of the keypad list and its range text, and the texts the base
// properties hold before the base has answered, each written once. Programs decide by the error
// code and the control's facts (GetLastFailure, GetLastSystemError, GetLinkLost, GetCounters),
// never by these words. The debug texts are for people reading a trace and stay where they are
// emitted (the framing's are named in KivraProtocol.h).

#include <cstddef>
#include <string>
#include <string_view>

namespace kivra::texts {

// --- Base properties before an answer ------------------------------------------------------------
inline constexpr std::string_view kNotConnected = "Not Connected";
inline constexpr std::string_view kLegacyVersion = "Legacy Version";
inline constexpr std::string_view kReadingSerialNumber = "Reading Base Serial Number...";

// --- Connecting and the link ---------------------------------------------------------------------
inline constexpr std::string_view kModelNotSpecified =
    "The KivraModel property must be specified prior to connecting.";
inline constexpr std::string_view kNoDevice = "No Kivra device detected.";
inline constexpr std::string_view kLinkLost = "Connection Lost - check physical base connection";
inline constexpr std::string_view kSilentLink =
    "Connection lost.  Verify physical connection and retry Connect.";
inline constexpr std::string_view kNotConnectedToSend =
    "Unable to send command -- not connected to base station.";
inline constexpr std::string_view kLayerMissing = "Error: Communication Layer not properly established.";
inline constexpr std::string_view kBadLayerPort =
    "Error setting serial port property.\nSerial Port value must be between 1 and 99.";
inline std::string ConnectionFailed(int port)
{
    return "Connection failed on \"COM " + std::to_string(port) + "\".";
}
inline std::string UnhandledMessage(const std::string& message)
{
    return "Unhandled data message from base: " + message;
}

// --- Properties ----------------------------------------------------------------------------------
inline constexpr std::string_view kModelWhileConnected =
    "You must disconnect before changing the KivraModel property.";
inline constexpr std::string_view kTimeoutWhileConnected =
    "CommunicationTimeout cannot be changed while connected.  Disconnect, make change, and reconnect.";
inline constexpr std::string_view kTimeoutOutOfRange =
    "CommunicationTimeout is out of range. The valid range is 2000 to 15000 milliseconds";
// The layer's connected flag written as a number: true is -1.
inline constexpr std::string_view kSerialPortWhileConnected =
    "SerialPort is read-only while connected.  Connected:-1";
inline std::string SerialPortOutOfBounds(int port)
{
    return "Serial port " + std::to_string(port) + " is out of bounds (1 - 16).";
}
inline constexpr std::string_view kChannelNotConnected =
    "Must be connected to base to change BaseChannel property.";
inline constexpr std::string_view kChannelOutOfRange = "BaseChannel value must be between 1 and 15.";
inline constexpr std::string_view kNotConnectedToReadProperties =
    "You must be connected to read base properties.";
inline constexpr std::string_view kNotConnectedToRequestStatus =
    "You must be connected to request base status.";
inline constexpr std::string_view kNotConnectedToReadChannel =
    "You must be connected to read the base channel.";
inline constexpr std::string_view kKeyValueInvalid =
    R"(Key value must be a numeric character between "0" and "9" or the "*" character.)";

// --- Polling, keypads and their lists ------------------------------------------------------------
inline constexpr std::string_view kStartPollingNotConnected =
    "You must be connected before calling StartPolling.";
inline constexpr std::string_view kCollectSerialsNotConnected =
    "You must be connected to the base before calling CollectKeypadSerialNumbers.";
inline constexpr std::string_view kBeginQuestionNotConnected =
    "You must be connected before calling BeginQuestion.";
inline constexpr std::string_view kRequestSerialsNotConnected =
    "You must be connected before calling RequestKeypadSerialNumbers.";
inline constexpr std::string_view kRequestSerialsInTimestampMode =
    "RequestKeypadSerialNumbers cannot be called while in Timestamp mode.\n"
    "Call CollectKeypadSerialNumbers() to enabled keypad serial number mode.";
inline constexpr std::string_view kRequestTimestampsNotConnected =
    "You must be connected before calling RequestKeypadTimestamps.";
inline constexpr std::string_view kRequestTimestampsInSerialMode =
    "RequestKeypadTimestamps cannot be called while in Serial Number mode.\n"
    "Call BeginQuestion() to enabled timestamp mode.";
inline constexpr std::string_view kCountNotPositive = "Count parameter must be greater than 0.";
inline std::string KeypadAboveMax(int keypad, int maxKeypads)
{
    return "Keypad number " + std::to_string(keypad) + " is greater than MaxKeypads(" +
           std::to_string(maxKeypads) + ").";
}
inline std::string KeypadRangeAboveMax(int keypad, int count, int maxKeypads)
{
    return "Keypad number " + std::to_string(keypad) + " with a count of " + std::to_string(count) +
           " is greater than MaxKeypads(" + std::to_string(maxKeypads) + ").";
}
inline std::string KeypadNotPositive(int keypad)
{
    return "Keypad number " + std::to_string(keypad) + " is invalid. Keypad numbers must be greater than 0.";
}
inline std::string InvalidKeypad(int keypad)
{
    return "Invalid Keypad number (" + std::to_string(keypad) + ").";
}
inline std::string UnrecognisedKeypadData(int keypad, char state)
{
    return "Unrecognized data returned for keypad " + std::to_string(keypad) + " (" + state + ")";
}

inline constexpr std::string_view kUnexpectedLayerError = "Unexpected error in the communication layer";
inline constexpr std::string_view kUnknownPingError = "Unknown error while pinging the base";
inline constexpr std::string_view kUnknownPumpError = "Unknown error in the message pump";

// --- The keypad list and its range text (raised directly) ----------------------------------------
inline std::string KeypadOutsideBounds(long long keypad, long long maxKeypads)
{
    return "Keypad number " + std::to_string(keypad) + " is outside the bounds of 1 - " +
           std::to_string(maxKeypads) + ".";
}
inline constexpr std::string_view kKeypadCountBelowOne = "Keypad count cannot be less than 1.";
inline std::string RangeExceedsModel(long long maxKeypads)
{
    return "The keypad number or range specified exceeds the maximum number of keypads (" +
           std::to_string(maxKeypads) + ") for the Kivra model specified.";
}
//! shown: the character as a message shows it (quoted, or "#" and its code); position from 1.
inline std::string InvalidRangeCharacter(const std::string& shown, std::size_t position)
{
    return "Invalid character " + shown + " at position " + std::to_string(position) +
           R"( in keypad string. Only the digits 0 to 9, ",", "-" and blanks are allowed.)";
}
inline std::string KeypadNumberTooLarge(const std::string& digits, long long largest)
{
    return "Keypad number " + digits + " in keypad string is too large. Keypad numbers cannot exceed " +
           std::to_string(largest) + ".";
}
inline constexpr std::string_view kRangeNotation =
    "Invalid format (range notation) in keypad string.\r"
    "Use \"-\" to define a range and \",\" to separate individual keypads and ranges.\r"
    "For example, \"1-10,20-30,50\"";
inline constexpr std::string_view kRangeWithoutUpperEnd =
    "Invalid range specified.  No upper end value supplied. All ranges must be defined as <start> - <end>.";
inline std::string RangeNotAscending(long long start, long long end)
{
    return "Unable to add range " + std::to_string(start) + "-" + std::to_string(end) +
           ".  Starting keypad number must be lower than ending keypad number.";
}
inline std::string AddKeypadBeyondMax(long long keypad, long long maxKeypads)
{
    return "Keypad number " + std::to_string(keypad) + " is beyond the bounds of MaxKeypads(" +
           std::to_string(maxKeypads) + ").";
}
inline std::string AddCountBeyondMax(long long count, long long maxKeypads)
{
    return "The count parameter specified " + std::to_string(count) + " would exceed MaxKeypads(" +
           std::to_string(maxKeypads) + ").";
}
inline std::string AddKeypadNotPositive(long long keypad)
{
    return "Keypad number " + std::to_string(keypad) +
           " is out of bounds. Keypad numbers must be greater than zero.";
}
inline constexpr std::string_view kAddCountNotPositive = "Count parameter must be greater than zero.";
inline std::string KeypadListTooSmall(long long maxKeypads, long long lastIndex)
{
    return "MaxKeypads(" + std::to_string(maxKeypads) + ") exceeds the size of the Keypad List array (" +
           std::to_string(lastIndex) + ").";
}

} // namespace kivra::texts
