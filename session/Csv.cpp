#include "session/Csv.h"

#include <QStringDecoder>

namespace kivra::csv {

void AppendField(QByteArray& out, const QString& field)
{
    const QByteArray utf8 = field.toUtf8();
    bool quote = false;
    for (char c : utf8) {
        if (c == ',' || c == '"' || c == '\r' || c == '\n') {
            quote = true;
            break;
        }
    }
    if (!quote) {
        out += utf8;
        return;
    }
    out += '"';
    for (char c : utf8) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

void AppendRecord(QByteArray& out, const QStringList& fields)
{
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out += ',';
        AppendField(out, fields[i]);
    }
    out += "\r\n";
}

namespace {

bool ValidUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes); // decoding runs on conversion
    return !decoder.hasError();
}

} // namespace

TParseResult Parse(const QByteArray& data)
{
    TParseResult result;
    qsizetype i = 0;
    const qsizetype n = data.size();
    if (data.startsWith("\xEF\xBB\xBF"))
        i = 3;
    int line = 1;

    auto fail = [&](int at, const QString& why) {
        result.ErrorLine = at;
        result.Error = why;
        return result;
    };
    // A line end at i: CRLF, LF or CR. Returns its length, 0 if none.
    auto lineEnd = [&](qsizetype at) -> int {
        if (at >= n)
            return 0;
        if (data[at] == '\r')
            return at + 1 < n && data[at + 1] == '\n' ? 2 : 1;
        return data[at] == '\n' ? 1 : 0;
    };

    while (i < n) {
        const int recordLine = line;
        if (int e = lineEnd(i)) { // blank line
            i += e;
            ++line;
            continue;
        }
        QList<QByteArray> fields;
        bool endOfRecord = false;
        while (!endOfRecord) {
            QByteArray field;
            if (i < n && data[i] == '"') {
                ++i;
                for (;;) {
                    if (i >= n)
                        return fail(recordLine, QStringLiteral("a quoted field is not closed"));
                    const char c = data[i];
                    if (c == '"') {
                        if (i + 1 < n && data[i + 1] == '"') {
                            field += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (c == '\n' || (c == '\r' && !(i + 1 < n && data[i + 1] == '\n')))
                        ++line;
                    field += c;
                    ++i;
                }
                if (i < n && data[i] != ',' && !lineEnd(i))
                    return fail(line, QStringLiteral("text after a closing quote"));
            } else {
                while (i < n && data[i] != ',' && !lineEnd(i)) {
                    if (data[i] == '"')
                        return fail(line, QStringLiteral("a quote inside an unquoted field"));
                    field += data[i];
                    ++i;
                }
            }
            if (!ValidUtf8(field))
                return fail(line, QStringLiteral("the text is not UTF-8"));
            fields.append(field);
            if (i < n && data[i] == ',') {
                ++i;
            } else {
                if (int e = lineEnd(i)) {
                    i += e;
                    ++line;
                }
                endOfRecord = true;
            }
        }
        TRecord record;
        record.Line = recordLine;
        for (const QByteArray& f : fields)
            record.Fields.append(QString::fromUtf8(f));
        result.Records.push_back(std::move(record));
    }
    return result;
}

} // namespace kivra::csv
