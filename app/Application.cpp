#include "app/Application.h"

#include "core/Exception.h"

#include <QFontDatabase>
#include <QMessageBox>
#include <QPointer>

namespace kivra {

namespace {

TMessageBoxFunction& MessageBoxFunction()
{
    static TMessageBoxFunction function;
    return function;
}

// The one message box that may be open, and what it has collected.
struct OpenBox {
    QPointer<QMessageBox> box;
    QStringList texts;
    int dropped = 0;
};

OpenBox& Open()
{
    static OpenBox open;
    return open;
}

constexpr int kMaxTextsInOneBox = 12;

QString CollectedText(const OpenBox& open)
{
    QString text = open.texts.join(QStringLiteral("\n\n"));
    if (open.dropped > 0)
        text += QStringLiteral("\n\n(%1 further messages not shown)").arg(open.dropped);
    return text;
}

void ShowMessageBox(const QString& text)
{
    OpenBox& open = Open();
    if (open.box) {
        // A noisy line must not bury the window under boxes: add to the open one.
        if (open.texts.size() < kMaxTextsInOneBox)
            open.texts << text;
        else
            ++open.dropped;
        open.box->setText(CollectedText(open));
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kApplicationTitle), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    open.box = &box;
    open.texts = QStringList{text};
    open.dropped = 0;
    // A box opened while the program is busy (Connect) still takes clicks: show the usual pointer.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    QApplication::restoreOverrideCursor();
    open.box = nullptr;
    open.texts.clear();
    open.dropped = 0;
}

} // namespace

void ShowMessage(const QString& text)
{
    if (const TMessageBoxFunction& function = MessageBoxFunction()) {
        function(text);
        return;
    }
    ShowMessageBox(text);
}

void ShowMessage(const std::string& text)
{
    ShowMessage(BytesToQString(text));
}

TMessageBoxFunction SetMessageBoxFunction(TMessageBoxFunction function)
{
    TMessageBoxFunction previous = std::move(MessageBoxFunction());
    MessageBoxFunction() = std::move(function);
    return previous;
}

QString BytesToQString(const std::string& text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

void ShowException(const std::exception& e)
{
    if (dynamic_cast<const EAbort*>(&e))
        return;
    ShowMessage(std::string(e.what()));
}

void InstallMessageBoxExceptionHandler()
{
    SetExceptionHandler([](const std::exception& e) { ShowException(e); });
}

QFont UtilityFont(bool bold)
{
    QFont font;
    if (QFontDatabase::families().contains(QStringLiteral("MS Sans Serif"))) {
        font = QFont(QStringLiteral("MS Sans Serif"));
        font.setPointSize(8);
    } else {
        font = QFont(QStringLiteral("Liberation Sans"));
        font.setPixelSize(11);
    }
    font.setStyleHint(QFont::SansSerif);
    font.setBold(bold);
    return font;
}

void Guarded(const std::function<void()>& action)
{
    try {
        action();
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        HandleException(e);
    }
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    setFont(UtilityFont());
    InstallMessageBoxExceptionHandler();
}

TApplication::~TApplication()
{
    SetExceptionHandler({});
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowMessage(QStringLiteral("Unknown error"));
    }
    return false;
}

} // namespace kivra
