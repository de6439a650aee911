#include "session/Roster.h"

#include "session/Csv.h"

#include <QFile>

#include <map>

namespace kivra {

namespace {

enum class TColumn { cName, cKeypad, cSerial, cEither, cUnknown };

TColumn HeaderColumn(const QString& cell)
{
    QString c = cell.trimmed().toLower();
    c.remove(QLatin1Char(' '));
    c.remove(QLatin1Char('_'));
    if (c == QLatin1String("name") || c == QLatin1String("student"))
        return TColumn::cName;
    if (c == QLatin1String("keypad") || c == QLatin1String("keypadnumber") || c == QLatin1String("number"))
        return TColumn::cKeypad;
    if (c == QLatin1String("serial") || c == QLatin1String("serialnumber") ||
        c == QLatin1String("keypadserial"))
        return TColumn::cSerial;
    return TColumn::cUnknown;
}

bool IsDecimal(const QString& text)
{
    if (text.isEmpty() || text.size() > 6)
        return false;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

bool TRoster::IsSerial(const QString& text)
{
    if (text.size() != 6)
        return false;
    for (QChar c : text) {
        const bool hex = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                         (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
                         (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
        if (!hex)
            return false;
    }
    return true;
}

QString TRoster::Describe(const TRosterError& error)
{
    if (error.Line <= 0)
        return error.Reason;
    return QStringLiteral("line %1: %2").arg(error.Line).arg(error.Reason);
}

bool TRoster::Parse(const QByteArray& data, TRoster& roster, std::vector<TRosterError>& errors)
{
    errors.clear();
    const csv::TParseResult parsed = csv::Parse(data);

    std::vector<TColumn> columns{TColumn::cName, TColumn::cEither, TColumn::cEither};
    size_t first = 0;
    if (!parsed.Records.empty()) {
        const QStringList& head = parsed.Records.front().Fields;
        std::vector<TColumn> named;
        bool anyName = false;
        bool anyId = false; // "Name,12" is a student called Name, not a header
        for (const QString& cell : head) {
            named.push_back(HeaderColumn(cell));
            anyName = anyName || named.back() != TColumn::cUnknown;
            anyId = anyId || IsDecimal(cell.trimmed()) || IsSerial(cell.trimmed());
        }
        anyName = anyName && !anyId;
        if (anyName) {
            int names = 0, keypads = 0, serials = 0;
            for (TColumn c : named) {
                names += c == TColumn::cName;
                keypads += c == TColumn::cKeypad;
                serials += c == TColumn::cSerial;
            }
            const int line = parsed.Records.front().Line;
            if (names != 1)
                errors.push_back({line, QStringLiteral("the header needs exactly one \"name\" column")});
            if (keypads + serials == 0)
                errors.push_back(
                    {line, QStringLiteral("the header needs a \"keypad\" or a \"serial\" column")});
            if (keypads > 1 || serials > 1)
                errors.push_back({line, QStringLiteral("the header names a column twice")});
            columns = named;
            first = 1;
        }
    }

    std::vector<TRosterEntry> entries;
    std::map<int, int> byKeypad;     // keypad -> line
    std::map<QString, int> bySerial; // serial -> line
    for (size_t r = first; r < parsed.Records.size(); ++r) {
        const csv::TRecord& rec = parsed.Records[r];
        auto bad = [&](const QString& why) { errors.push_back({rec.Line, why}); };
        TRosterEntry e;
        e.Line = rec.Line;
        bool ok = true;
        if (rec.Fields.size() > static_cast<qsizetype>(columns.size())) {
            // Extra empty cells (a trailing comma) are harmless; extra text is not.
            for (auto f = static_cast<qsizetype>(columns.size()); f < rec.Fields.size(); ++f) {
                if (!rec.Fields[f].trimmed().isEmpty()) {
                    bad(QStringLiteral("%1 fields, at most %2 expected")
                            .arg(rec.Fields.size())
                            .arg(columns.size()));
                    ok = false;
                    break;
                }
            }
        }
        for (qsizetype f = 0; ok && f < rec.Fields.size() && f < static_cast<qsizetype>(columns.size());
             ++f) {
            const QString cell = rec.Fields[f].trimmed();
            TColumn col = columns[f];
            if (col == TColumn::cEither && !cell.isEmpty()) {
                if (IsDecimal(cell) && cell.size() < 6) {
                    col = TColumn::cKeypad;
                } else if (IsSerial(cell)) {
                    col = TColumn::cSerial;
                } else {
                    bad(QStringLiteral("\"%1\" is neither a keypad number (1-%2) nor a serial number "
                                       "(six hexadecimal digits)")
                            .arg(cell)
                            .arg(MaxKeypad));
                    ok = false;
                    break;
                }
            }
            switch (col) {
            case TColumn::cName:
                e.Name = cell;
                break;
            case TColumn::cKeypad:
                if (cell.isEmpty())
                    break;
                if (e.Keypad != 0) {
                    bad(QStringLiteral("two keypad numbers"));
                    ok = false;
                } else if (!IsDecimal(cell) || cell.toInt() < 1 || cell.toInt() > MaxKeypad) {
                    bad(QStringLiteral("keypad \"%1\" is not a number from 1 to %2")
                            .arg(cell)
                            .arg(MaxKeypad));
                    ok = false;
                } else {
                    e.Keypad = cell.toInt();
                }
                break;
            case TColumn::cSerial:
                if (cell.isEmpty())
                    break;
                if (!e.Serial.isEmpty()) {
                    bad(QStringLiteral("two serial numbers"));
                    ok = false;
                } else if (!IsSerial(cell)) {
                    bad(QStringLiteral("serial number \"%1\" is not six hexadecimal digits").arg(cell));
                    ok = false;
                } else {
                    e.Serial = cell.toUpper();
                }
                break;
            case TColumn::cEither:
            case TColumn::cUnknown:
                break;
            }
        }
        if (!ok)
            continue;
        if (e.Name.isEmpty()) {
            bad(QStringLiteral("no name"));
            continue;
        }
        if (e.Keypad == 0 && e.Serial.isEmpty()) {
            bad(QStringLiteral("no keypad number or serial number for %1").arg(e.Name));
            continue;
        }
        if (e.Keypad != 0) {
            auto [it, fresh] = byKeypad.emplace(e.Keypad, e.Line);
            if (!fresh) {
                bad(QStringLiteral("keypad %1 is already given to line %2").arg(e.Keypad).arg(it->second));
                continue;
            }
        }
        if (!e.Serial.isEmpty()) {
            auto [it, fresh] = bySerial.emplace(e.Serial, e.Line);
            if (!fresh) {
                bad(QStringLiteral("serial number %1 is already given to line %2")
                        .arg(e.Serial)
                        .arg(it->second));
                continue;
            }
        }
        entries.push_back(std::move(e));
    }
    if (parsed.ErrorLine != 0)
        errors.push_back({parsed.ErrorLine, parsed.Error});
    if (errors.empty() && entries.empty())
        errors.push_back({0, QStringLiteral("the roster lists no student")});
    if (!errors.empty())
        return false;
    roster = TRoster(std::move(entries));
    return true;
}

bool TRoster::Load(const QString& path, TRoster& roster, std::vector<TRosterError>& errors)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errors = {{0, QStringLiteral("cannot read %1: %2").arg(path, file.errorString())}};
        return false;
    }
    return Parse(file.readAll(), roster, errors);
}

TRoster::TRoster(std::vector<TRosterEntry> entries) : entries_(std::move(entries))
{
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (!entries_[i].Serial.isEmpty())
            bySerial_.emplace(entries_[i].Serial, static_cast<int>(i));
        if (entries_[i].Keypad != 0)
            byKeypad_.emplace(entries_[i].Keypad, static_cast<int>(i));
    }
}

int TRoster::Find(int keypad, const QString& serial) const
{
    if (!serial.isEmpty()) {
        auto s = bySerial_.find(serial);
        if (s != bySerial_.end())
            return s->second;
    }
    auto k = byKeypad_.find(keypad);
    if (k == byKeypad_.end())
        return -1;
    const QString& listed = entries_[static_cast<size_t>(k->second)].Serial;
    // An entry tied to a serial belongs to that keypad, not to whatever now answers on its number.
    if (!listed.isEmpty() && !serial.isEmpty() && listed != serial)
        return -1;
    return k->second;
}

QString TRoster::NameFor(int keypad, const QString& serial) const
{
    const int i = Find(keypad, serial);
    return i < 0 ? QString() : entries_[static_cast<size_t>(i)].Name;
}

} // namespace kivra
