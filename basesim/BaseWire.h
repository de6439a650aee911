#pragma once
// The base's side of the wire: building frames, lists and packets, and cutting the host's
// unterminated command bytes into commands.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kivra::basesim {

//! Five trailing bytes of a packet: three blanks and CR LF. No scan group letter, no "S" or "T"
//! and no list terminator, so the host cannot take them for the start of anything.
inline constexpr std::string_view kPacketTail = "   \r\n";
//! The two bytes after a list marker.
inline constexpr std::string_view kListHead = "\r\n";

//! One 7-byte list entry: serial number or answer time, status byte, two blanks.
std::string SerialEntry(int keypad, const std::uint8_t serial[3], std::uint8_t status);
std::string TimestampEntry(int keypad, std::uint16_t units, std::uint8_t status);
//! Marker, head, entries and the terminator.
std::string BuildList(char marker, std::string_view entries);
//! True when the bytes hold the list terminator 0x0D 0x0A 0xFF anywhere.
bool HoldsTerminator(std::string_view bytes);

//! Frame with a length field that is not hexadecimal (for the corrupted-length failure mode).
std::string BuildCorruptFrame(std::string_view tag, std::string_view content);

//! Cuts the host's bytes into commands. Host commands carry no terminator: 0x11 and 0x13 are
//! one byte, everything else is a head byte and one more ("C" and "D" take any byte).
class CommandParser {
public:
    //! Feeds bytes; returns the commands completed by them, in order.
    std::vector<std::string> Feed(std::string_view bytes);
    //! A head byte still waiting for its second byte ("" when none).
    std::string Pending() const { return pending_; }

private:
    std::string pending_;
};

} // namespace kivra::basesim
