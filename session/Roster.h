#pragma once
// A class roster: student names with a keypad number or a keypad serial number.
//
// CSV (UTF-8, RFC 4180; a byte order mark is skipped), one student a row. A header row is
// optional: when the first row names its columns ("name", "keypad", "serial"; case and blanks
// do not matter, "keypad number"/"number" and "serial number" are accepted too), the columns
// may stand in any order. Without a header the columns are: name, then a keypad number or a
// serial number, then optionally the other one.
//
//     name,keypad,serial            Ann Lee,12
//     "Lee, Ann",12,                Bo Chen,0ABC01
//     Bo Chen,,0ABC01
//
// A keypad number is 1-250 (decimal); a serial number is six hexadecimal digits, as the
// control reports it (OnKeypadSerialNumber). A student listed by serial follows the keypad
// to whichever number reports that serial. Any bad row fails the whole import: nothing is
// half-imported, and every bad row is listed with its line number and the reason.

#include <QByteArray>
#include <QString>

#include <map>
#include <vector>

namespace kivra {

struct TRosterEntry {
    QString Name;
    int Keypad = 0; //!< 0 when listed by serial only
    QString Serial; //!< upper-case, empty when listed by keypad only
    int Line = 0;   //!< line of the file it came from (0 when not from a file)
};

struct TRosterError {
    int Line = 0;
    QString Reason;
};

class TRoster {
public:
    static constexpr int MaxKeypad = 250;

    TRoster() = default;
    //! Entries as given; a keypad or serial listed twice is found at its first entry.
    explicit TRoster(std::vector<TRosterEntry> entries);

    //! Parses a roster file; on any error nothing is kept and errors lists every bad row.
    static bool Parse(const QByteArray& csv, TRoster& roster, std::vector<TRosterError>& errors);
    //! Reads and parses a file; a file that cannot be read is one error at line 0.
    static bool Load(const QString& path, TRoster& roster, std::vector<TRosterError>& errors);

    //! "line 4: keypad 300 is outside 1-250" (line 0: the reason alone).
    static QString Describe(const TRosterError& error);

    //! True for six hexadecimal digits.
    static bool IsSerial(const QString& text);

    bool IsEmpty() const { return entries_.empty(); }
    int Size() const { return static_cast<int>(entries_.size()); }
    const std::vector<TRosterEntry>& Entries() const { return entries_; }

    //! The entry for an answer: by serial first (a known serial that is listed), else by the
    //! keypad number, unless that number's entry is tied to another serial than the one seen.
    //! Returns the index into Entries(), or -1.
    int Find(int keypad, const QString& serial) const;
    QString NameFor(int keypad, const QString& serial) const;

private:
    std::vector<TRosterEntry> entries_;
    std::map<QString, int> bySerial_;
    std::map<int, int> byKeypad_;
};

} // namespace kivra
