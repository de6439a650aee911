// The About window (content, web link, position) and the debug window with its line format.

#include "app/frmAbout.h"
#include "app/frmDebug.h"
#include "core/Version.h"

#include <QAction>
#include <QDesktopServices>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Opened;
public slots:
    void Open(const QUrl& url) { Opened << url; }
};

void Click(QWidget* w)
{
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(w->width() / 2, w->height() / 2));
}

TEST(AboutWindow, ShowsTheProductAndFictionalMaker)
{
    kivra::TfrmAbout about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Kivra"));
    EXPECT_EQ(about.size(), QSize(382, 346));
    EXPECT_EQ(about.Label6->text(), QStringLiteral("Kivra"));
    EXPECT_EQ(about.Label8->text(), QString(QChar(0x00AE)));
    EXPECT_EQ(about.Label7->text(), QStringLiteral("Configuration and "));
    EXPECT_EQ(about.Label5->text(), QStringLiteral("Diagnostic Utility"));
    EXPECT_EQ(about.Label3->text(), QStringLiteral("Version 1.0"));
    EXPECT_TRUE(about.Label4->text().contains(QRegularExpression(QStringLiteral("\\b20\\d\\d\\b"))));
    EXPECT_TRUE(QUrl(about.Label2->text()).host().endsWith(QStringLiteral("example.com")));
    EXPECT_EQ(about.Memo1->document()->blockCount(), 3);
    EXPECT_TRUE(about.Memo1->isReadOnly());
    EXPECT_FALSE(about.Image1->pixmap().isNull());
}

TEST(AboutWindow, ShowsWhatVersionPrintsOnALineOfItsOwn)
{
    kivra::TfrmAbout about;
    EXPECT_EQ(about.lblBuild->text().toStdString(), kivra::VersionText());
    EXPECT_TRUE(about.rect().contains(about.lblBuild->geometry()));
    for (const QWidget* w : std::initializer_list<const QWidget*>{about.Label3, about.Label4, about.Shape1})
        EXPECT_FALSE(about.lblBuild->geometry().intersects(w->geometry())) << w->objectName().toStdString();
}

TEST(AboutWindow, WebLinkOpensItsAddressInTheBrowser)
{
    kivra::TfrmAbout about;
    about.show();
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "Open");
    Click(about.Label2);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(recorder.Opened.size(), 1);
    EXPECT_EQ(recorder.Opened[0], QUrl(about.Label2->text()));
    EXPECT_TRUE(about.BrowseURL1->isVisible());
    EXPECT_EQ(about.BrowseURL1->text(), QStringLiteral("&Browse URL"));
    EXPECT_TRUE(about.isVisible()); // the window stays
}

TEST(AboutWindow, OpensTwiceInARowAtTheSamePlace)
{
    kivra::TfrmAbout about;
    QList<QPoint> places;
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, &about, [&] {
            places << about.pos();
            Click(about.Button1);
        });
        EXPECT_EQ(about.exec(), QDialog::Accepted);
        EXPECT_FALSE(about.isVisible());
        about.move(10, 10); // wherever it was left, it opens at its designed place
    }
    EXPECT_EQ(places, (QList<QPoint>{QPoint(462, 343), QPoint(462, 343)}));
}

struct DebugLineCase {
    std::string Data;
    const char* Expected;
};

TEST(DebugLine, TimeStampAndControlBytesInHex)
{
    const QTime at(12, 34, 56, 789);
    const DebugLineCase cases[] = {
        {"Sending XON", "12:34:56.789  Sending XON"},
        {"Rx: SERIAL:06104523\r\n", "12:34:56.789  Rx: SERIAL:06104523<0D><0A>"},
        {std::string("\x11"
                     "C\x80"
                     "D\xC0",
                     5),
         "12:34:56.789  <11>C<80>D<C0>"},
        {std::string("a\0b\x7F\xFF", 5), "12:34:56.789  a<00>b<7F><FF>"},
        {"", "12:34:56.789  "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kivra::FormatDebugLine(c.Data, at).toStdString(), c.Expected);
}

TEST(DebugWindow, VisibleFromCreationAndAppendsLines)
{
    kivra::TfrmDebug debug;
    EXPECT_TRUE(debug.isVisible());
    EXPECT_EQ(debug.windowTitle(), QStringLiteral("frmDebug"));
    debug.AppendLine(QStringLiteral("first"));
    debug.AppendLine(QStringLiteral("second"));
    EXPECT_EQ(debug.Memo1->toPlainText(), QStringLiteral("first\nsecond"));
}

} // namespace

#include "AboutDebugTest.moc"
