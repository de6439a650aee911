#pragma once
// TfrmDebug: a plain text window collecting the control's debug texts.

#include <QTime>
#include <QWidget>

#include <string>

class QPlainTextEdit;

namespace kivra {

//! One debug line as shown: "HH:mm:ss.zzz  " and the text, with control bytes (0-31, 127) and
//! bytes from 128 up shown as "<0D>" (two hex digits) so nothing raw reaches the window.
QString FormatDebugLine(const std::string& Data, const QTime& time = QTime::currentTime());
//! The text part of FormatDebugLine alone.
QString DebugBytesToText(const std::string& Data);

class TfrmDebug : public QWidget {
public:
    explicit TfrmDebug(QWidget* parent = nullptr);

    QPlainTextEdit* Memo1 = nullptr;

    //! Adds one line at the end of Memo1.
    void AppendLine(const QString& line);
};

} // namespace kivra
