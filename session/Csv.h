#pragma once
// RFC 4180 CSV in UTF-8: fields are quoted when they hold a comma, a double quote, CR or LF,
// quotes are doubled, records end with CRLF. The reader also takes LF or CR line ends and
// skips a UTF-8 byte order mark.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace kivra::csv {

//! Appends one field, quoted when needed.
void AppendField(QByteArray& out, const QString& field);
//! Appends one record and its CRLF.
void AppendRecord(QByteArray& out, const QStringList& fields);

struct TRecord {
    int Line = 0; //!< line on which the record starts, from 1
    QStringList Fields;
};

struct TParseResult {
    std::vector<TRecord> Records; //!< blank lines are skipped
    int ErrorLine = 0;            //!< 0: no error
    QString Error;
};

//! Reads a whole document. Stops at the first malformed record (unterminated quote, text after
//! a closing quote, a quote inside an unquoted field, bytes that are not UTF-8); the records
//! before it are kept.
TParseResult Parse(const QByteArray& data);

} // namespace kivra::csv
