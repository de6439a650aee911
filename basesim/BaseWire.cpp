#include "basesim/BaseWire.h"

#include "basesim/BaseSimulator.h"
#include "control/KivraProtocol.h"

#include <cstdio>

namespace kivra::basesim {

namespace {

constexpr char kFieldByte = ' '; // the byte between length field and tag
constexpr char kTagEnd = ':';    // the byte between tag and content
constexpr std::string_view kFrameEnd = "\r\n";

std::string FrameBody(std::string_view tag, std::string_view content)
{
    std::string body;
    body += kFieldByte;
    body += tag;
    body += kTagEnd;
    body += content;
    body += kFrameEnd;
    return body;
}

bool IsHeadByte(char c)
{
    switch (c) {
    case 'X':
    case 'P':
    case 'W':
    case 'B':
    case 'G':
    case 'S':
    case 'K':
    case 'L':
    case 'C':
    case 'D':
        return true;
    default:
        return false;
    }
}

} // namespace

std::string BuildFrame(std::string_view tag, std::string_view content)
{
    const std::string body = FrameBody(tag, content);
    if (body.size() > 0xFF)
        return {}; // no two-digit length can describe it
    char length[3];
    std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(body.size()));
    return std::string(length, 2) + body;
}

std::string BuildCorruptFrame(std::string_view tag, std::string_view content)
{
    return "??" + FrameBody(tag, content);
}

std::string BuildPacket(char groupLetter, const std::array<char, 50>& states, std::string_view tail)
{
    std::string packet;
    packet.reserve(protocol::kPacketSize);
    packet += groupLetter;
    packet.append(states.data(), states.size());
    packet += tail;
    return packet;
}

std::string SerialEntry(int keypad, const std::uint8_t serial[3], std::uint8_t status)
{
    std::string e;
    e += static_cast<char>(keypad);
    for (int i = 0; i < 3; ++i)
        e += static_cast<char>(serial[i]);
    e += static_cast<char>(status);
    e += "  ";
    return e;
}

std::string TimestampEntry(int keypad, std::uint16_t units, std::uint8_t status)
{
    std::string e;
    e += static_cast<char>(keypad);
    e += static_cast<char>(units >> 8);
    e += static_cast<char>(units & 0xFF);
    e += '\0';
    e += static_cast<char>(status);
    e += "  ";
    return e;
}

std::string BuildList(char marker, std::string_view entries)
{
    std::string list;
    list += marker;
    list += kListHead;
    list += entries;
    list += protocol::kListTerminator;
    return list;
}

bool HoldsTerminator(std::string_view bytes)
{
    return bytes.find(protocol::kListTerminator) != std::string_view::npos;
}

std::vector<std::string> CommandParser::Feed(std::string_view bytes)
{
    std::vector<std::string> out;
    for (char c : bytes) {
        if (!pending_.empty()) {
            const char head = pending_[0];
            // "C" and "D" take any byte; other heads give way to XON/XOFF.
            if (head != 'C' && head != 'D' && (c == protocol::kXOn || c == protocol::kXOff)) {
                out.push_back(pending_);
                pending_.clear();
                out.emplace_back(1, c);
                continue;
            }
            pending_ += c;
            out.push_back(pending_);
            pending_.clear();
            continue;
        }
        if (IsHeadByte(c))
            pending_ = c;
        else
            out.emplace_back(1, c);
    }
    return out;
}

} // namespace kivra::basesim
