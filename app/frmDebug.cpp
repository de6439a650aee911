#include "app/frmDebug.h"

#include "app/Application.h"
#include "control/Conversions.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace kivra {

QString DebugBytesToText(const std::string& Data)
{
    QString text;
    text.reserve(static_cast<qsizetype>(Data.size()));
    for (const char ch : Data) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte < 0x7F) {
            text += QLatin1Char(static_cast<char>(byte));
        } else {
            text += QLatin1Char('<');
            text += QLatin1Char(HexDigit(byte >> 4u));
            text += QLatin1Char(HexDigit(byte));
            text += QLatin1Char('>');
        }
    }
    return text;
}

QString FormatDebugLine(const std::string& Data, const QTime& time)
{
    return time.toString(QStringLiteral("HH:mm:ss.zzz")) + QStringLiteral("  ") + DebugBytesToText(Data);
}

TfrmDebug::TfrmDebug(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("frmDebug"));
    setWindowTitle(QStringLiteral("frmDebug"));
    setFont(UtilityFont());
    // Outer 554 x 424 at (340, 276): a 4 px frame and a 30 px title bar around the client area.
    resize(546, 390);
    move(340, 276);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Memo1);
    show(); // the window is visible from its creation
}

void TfrmDebug::AppendLine(const QString& line)
{
    Memo1->appendPlainText(line);
}

} // namespace kivra
