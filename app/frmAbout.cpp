#include "app/frmAbout.h"

#include "app/Application.h"
#include "app/KeypadPictures.h"
#include "core/Version.h"
#include "ui_frmAbout.h"

#include <QAction>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

namespace kivra {

namespace {

constexpr int kDesignedLeft = 462;
constexpr int kDesignedTop = 343;

// The tall picture beside the texts: the keypad drawing on a blue panel.
QPixmap PaintAboutPicture(QSize size)
{
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient panel(0, 0, 0, size.height());
    panel.setColorAt(0, QColor(32, 74, 135));
    panel.setColorAt(1, QColor(12, 30, 62));
    p.setPen(Qt::NoPen);
    p.setBrush(panel);
    p.drawRoundedRect(QRectF(0, 0, size.width(), size.height()), 8, 8);
    const int h = size.height() * 9 / 10;
    const int w = h * 220 / 518;
    p.drawPixmap((size.width() - w) / 2, (size.height() - h) / 2, PaintKeypadDrawing(QSize(w, h)));
    return pixmap;
}

QFont WithPixelSize(QFont font, int px, bool bold)
{
    font.setPixelSize(px);
    font.setBold(bold);
    return font;
}

} // namespace

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TfrmAbout>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(382, 346);
    setFont(UtilityFont());

    Image1 = ui->Image1;
    Label1 = ui->Label1;
    Label2 = ui->Label2;
    Label3 = ui->Label3;
    Label4 = ui->Label4;
    Label5 = ui->Label5;
    Label6 = ui->Label6;
    Label7 = ui->Label7;
    Label8 = ui->Label8;
    Label9 = ui->Label9;
    lblBuild = ui->lblBuild;
    Shape1 = ui->Shape1;
    Memo1 = ui->Memo1;
    Button1 = ui->Button1;

    const QFont arial(QStringLiteral("Arial"));
    Label6->setFont(WithPixelSize(arial, 19, true));
    Label9->setFont(WithPixelSize(arial, 19, true));
    Label8->setFont(WithPixelSize(arial, 13, true));
    Label8->setAttribute(Qt::WA_TranslucentBackground);
    Label7->setFont(WithPixelSize(UtilityFont(), 15, true));
    Label5->setFont(WithPixelSize(UtilityFont(), 15, true));
    Label1->setFont(UtilityFont(true));
    QFont link = UtilityFont();
    link.setUnderline(true);
    Label2->setFont(link);
    QPalette linkPalette = Label2->palette();
    linkPalette.setColor(QPalette::WindowText, QColor(0, 84, 227)); // active caption blue
    Label2->setPalette(linkPalette);
    Label2->installEventFilter(this);

    Image1->setPixmap(PaintAboutPicture(Image1->size()));
    Label9->setText(QStringLiteral("Response"));
    Label1->setText(QLatin1String(kMakerName));
    Label2->setText(QLatin1String(kMakerUrl));
    Memo1->setPlainText(QStringLiteral("P.O. Box 4021\nMillbrook, ST 00000\nTel. 555-0142"));
    Memo1->setFont(UtilityFont());
    QPalette face = Memo1->palette();
    face.setColor(QPalette::Base, palette().color(QPalette::Window));
    Memo1->setPalette(face);
    Shape1->setStyleSheet(
        QStringLiteral("background-color: palette(window); border-top: 1px solid palette(mid);"));

    // FormCreate.
    Label4->setText(QStringLiteral("Copyright %1 2026 %2.\nAll rights reserved.")
                        .arg(QChar(0x00A9))
                        .arg(QLatin1String(kMakerName)));
    Label8->setText(QString(QChar(0x00AE)));
    lblBuild->setText(QString::fromStdString(VersionText()));
    lblBuild->setToolTip(QStringLiteral("Version and commit this program was built from"));

    BrowseURL1 = new QAction(QStringLiteral("&Browse URL"), this);
    BrowseURL1->setObjectName(QStringLiteral("BrowseURL1"));
    BrowseURL1->setToolTip(QStringLiteral("Browse URL"));
    BrowseURL1->setProperty("category", QStringLiteral("Internet"));
    connect(BrowseURL1, &QAction::triggered, this, [this] {
        // Nothing to report when no browser can be opened.
        (void)QDesktopServices::openUrl(QUrl(BrowseURL1->data().toString()));
    });

    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
}

TfrmAbout::~TfrmAbout() = default;

int TfrmAbout::exec()
{
    move(kDesignedLeft, kDesignedTop);
    return QDialog::exec();
}

void TfrmAbout::Label2Click()
{
    BrowseURL1->setVisible(true);
    BrowseURL1->setEnabled(true);
    BrowseURL1->setData(Label2->text());
    BrowseURL1->trigger();
}

bool TfrmAbout::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label2 && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && Label2->rect().contains(mouse->position().toPoint())) {
            Label2Click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace kivra
