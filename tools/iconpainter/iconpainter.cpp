// Draws the application's 16 x 16 toolbar and status icons into resources/Icons, and
// the application icon at the desktop's sizes into resources/hicolor. Run through
// scripts/paint-icons; its output is committed, so a build never needs it.

#include <QColor>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>

#include <cstdio>
#include <functional>

namespace {

const QColor Ink(40, 40, 48);
const QColor Paper(250, 250, 246);
const QColor Blue(38, 110, 210);
const QColor Green(40, 160, 60);
const QColor Red(210, 40, 40);
const QColor Amber(240, 180, 20);
const QColor Steel(120, 130, 145);

QPen pen(const QColor &c, qreal w = 1.0)
{
    QPen p(c, w);
    p.setCapStyle(Qt::RoundCap);
    p.setJoinStyle(Qt::RoundJoin);
    return p;
}

// The hands of a clock face in `r`: both start at the centre.
struct ClockHands {
    QPointF centre;
    QPointF minute;
    QPointF hour;
};

ClockHands clockHands(const QRectF &r)
{
    const QPointF c = r.center();
    return {c, QPointF(c.x(), r.top() + r.height() * 0.22), QPointF(c.x() + r.width() * 0.25, c.y())};
}

const qreal ClockStroke = 1.2;

// A clock face; the base of the four log-file icons and the application icon.
void clock(QPainter &p, const QRectF &r)
{
    p.setPen(pen(Ink, ClockStroke));
    p.setBrush(Paper);
    p.drawEllipse(r);
    const ClockHands hands = clockHands(r);
    p.drawLine(hands.centre, hands.minute);
    p.drawLine(hands.centre, hands.hour);
}

// The application icon's face, on the 16 x 16 grid of the toolbar icons; the larger
// sizes scale the same drawing, so the window, the menu and the taskbar agree.
const QRectF AppClock(0.8, 0.8, 14.4, 14.4);

// A small round badge in the lower right corner, for the clock variants.
void badge(QPainter &p, const QColor &fill)
{
    p.setPen(pen(fill.darker(140), 1.0));
    p.setBrush(fill);
    p.drawEllipse(QRectF(8.5, 8.5, 7, 7));
}

void arrow(QPainter &p, const QColor &c, bool down, const QRectF &r)
{
    const qreal cx = r.center().x();
    const qreal w = r.width();
    QPolygonF head;
    QRectF shaft;
    if (down) {
        shaft = QRectF(cx - w * 0.17, r.top(), w * 0.34, r.height() * 0.5);
        head << QPointF(r.left(), r.top() + r.height() * 0.45) << QPointF(r.right(), r.top() + r.height() * 0.45)
             << QPointF(cx, r.bottom());
    } else {
        shaft = QRectF(cx - w * 0.17, r.top() + r.height() * 0.5, w * 0.34, r.height() * 0.5);
        head << QPointF(r.left(), r.top() + r.height() * 0.55) << QPointF(r.right(), r.top() + r.height() * 0.55)
             << QPointF(cx, r.top());
    }
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRect(shaft);
    p.drawPolygon(head);
}

// A USB plug lying on its side, with a coloured status lamp.
void plug(QPainter &p, const QColor &lamp)
{
    p.setPen(pen(Ink, 1.0));
    p.setBrush(Steel.lighter(130));
    p.drawRect(QRectF(1.5, 5.5, 5, 5)); // metal shell
    p.setBrush(Ink);
    p.drawRect(QRectF(6.5, 4.5, 5, 7));           // body
    p.drawLine(QPointF(11.5, 8), QPointF(14, 8)); // cable
    p.setPen(Qt::NoPen);
    p.setBrush(Paper);
    p.drawRect(QRectF(2.5, 6.5, 1, 1));
    p.drawRect(QRectF(2.5, 8.5, 1, 1));
    p.setPen(pen(lamp.darker(150), 0.8));
    p.setBrush(lamp);
    p.drawEllipse(QRectF(9.5, 0.5, 6, 6));
}

void computer(QPainter &p)
{
    p.setPen(pen(Ink, 1.0));
    p.setBrush(Steel.lighter(150));
    p.drawRect(QRectF(0.5, 6.5, 10, 7));
    p.setBrush(QColor(90, 160, 230));
    p.drawRect(QRectF(2, 8, 7, 4));
    p.setBrush(Ink);
    p.drawRect(QRectF(3.5, 14, 4, 1.5));
}

struct Icon {
    const char *path;
    std::function<void(QPainter &)> draw;
};

const Icon icons[] = {
    {"ProjectManagment/16x16/time.png", [](QPainter &p) { clock(p, AppClock); }},
    {"ProjectManagment/16x16/time-new.png",
     [](QPainter &p) {
         clock(p, QRectF(0.8, 0.8, 13, 13));
         badge(p, Amber);
         p.setPen(pen(Ink, 1.3));
         p.drawLine(QPointF(12, 10), QPointF(12, 14));
         p.drawLine(QPointF(10, 12), QPointF(14, 12));
     }},
    {"ProjectManagment/16x16/time-open.png",
     [](QPainter &p) {
         clock(p, QRectF(0.8, 0.8, 13, 13));
         p.setPen(pen(Amber.darker(160), 1.0));
         p.setBrush(Amber);
         QPolygonF folder;
         folder << QPointF(7.5, 9.5) << QPointF(10.5, 9.5) << QPointF(11.5, 10.5) << QPointF(15.5, 10.5)
                << QPointF(15.5, 15.5) << QPointF(7.5, 15.5);
         p.drawPolygon(folder);
     }},
    {"ProjectManagment/16x16/time-add.png",
     [](QPainter &p) {
         // a second log behind the first
         clock(p, QRectF(3.2, 0.8, 11, 11));
         clock(p, QRectF(0.8, 3.2, 11, 11));
         badge(p, Blue);
         p.setPen(pen(Paper, 1.3));
         p.drawLine(QPointF(12, 10), QPointF(12, 14));
         p.drawLine(QPointF(10, 12), QPointF(14, 12));
     }},
    {"ProjectManagment/16x16/time-close.png",
     [](QPainter &p) {
         clock(p, QRectF(0.8, 0.8, 13, 13));
         badge(p, Steel);
         p.setPen(pen(Paper, 1.4));
         p.drawLine(QPointF(10, 12), QPointF(14, 12));
     }},
    {"ProjectManagment/16x16/time-server.png",
     [](QPainter &p) {
         clock(p, QRectF(0.8, 0.8, 13, 13));
         // a database: a stack of two discs
         p.setPen(pen(Blue.darker(150), 0.9));
         p.setBrush(Blue);
         QPainterPath drum;
         drum.moveTo(8.5, 9.5);
         drum.lineTo(8.5, 14);
         drum.arcTo(QRectF(8.5, 12.5, 7, 3), 180, 180);
         drum.lineTo(15.5, 9.5);
         drum.closeSubpath();
         p.drawPath(drum);
         p.setBrush(Blue.lighter(140));
         p.drawEllipse(QRectF(8.5, 8, 7, 3));
         p.setBrush(Qt::NoBrush);
         p.drawArc(QRectF(8.5, 10.25, 7, 3), 180 * 16, 180 * 16);
     }},
    {"ProjectManagment/16x16/time-download.png",
     [](QPainter &p) {
         clock(p, QRectF(0.8, 0.8, 13, 13));
         badge(p, Green);
         arrow(p, Paper, true, QRectF(10, 9.5, 4, 5));
     }},
    {"ProjectManagment/16x16/time-erase.png",
     [](QPainter &p) {
         clock(p, QRectF(0.8, 0.8, 13, 13));
         badge(p, Red);
         p.setPen(pen(Paper, 1.4));
         p.drawLine(QPointF(10.5, 10.5), QPointF(13.5, 13.5));
         p.drawLine(QPointF(13.5, 10.5), QPointF(10.5, 13.5));
     }},
    {"HardwareNetwork/16x16/usb_connector-error.png", [](QPainter &p) { plug(p, Red); }},
    {"HardwareNetwork/16x16/usb_connector-ok.png", [](QPainter &p) { plug(p, Green); }},
    {"HardwareNetwork/16x16/hardware-stats.png",
     [](QPainter &p) {
         p.setPen(pen(Ink, 1.0));
         p.setBrush(Paper);
         p.drawRect(QRectF(0.5, 0.5, 15, 15));
         p.setPen(Qt::NoPen);
         p.setBrush(Blue);
         p.drawRect(QRectF(2.5, 9, 2.5, 5.5));
         p.setBrush(Green);
         p.drawRect(QRectF(6.5, 4, 2.5, 10.5));
         p.setBrush(Amber);
         p.drawRect(QRectF(10.5, 7, 2.5, 7.5));
     }},
    {"Basic/16x16/save.png",
     [](QPainter &p) {
         p.setPen(pen(Ink, 1.0));
         p.setBrush(Blue);
         QPolygonF disk;
         disk << QPointF(0.5, 0.5) << QPointF(13, 0.5) << QPointF(15.5, 3) << QPointF(15.5, 15.5) << QPointF(0.5, 15.5);
         p.drawPolygon(disk);
         p.setBrush(Paper);
         p.drawRect(QRectF(3.5, 0.5, 8, 5));
         p.setBrush(Paper.darker(110));
         p.drawRect(QRectF(3.5, 9.5, 9, 6));
         p.setPen(Qt::NoPen);
         p.setBrush(Ink);
         p.drawRect(QRectF(8.5, 1.5, 2, 3));
     }},
    {"HardwareNetwork/16x16/hardware-upload.png",
     [](QPainter &p) {
         computer(p);
         arrow(p, Green, false, QRectF(9.5, 0.5, 6, 8));
     }},
    {"HardwareNetwork/16x16/hardware-download.png",
     [](QPainter &p) {
         computer(p);
         arrow(p, Blue, true, QRectF(9.5, 0.5, 6, 8));
     }},
    {"Basic/16x16/warning.png",
     [](QPainter &p) {
         QPolygonF tri;
         tri << QPointF(8, 0.8) << QPointF(15.4, 14.8) << QPointF(0.6, 14.8);
         p.setPen(pen(Amber.darker(170), 1.0));
         p.setBrush(Amber);
         p.drawPolygon(tri);
         p.setPen(pen(Ink, 1.8));
         p.drawLine(QPointF(8, 5.5), QPointF(8, 9.5));
         p.drawPoint(QPointF(8, 12.5));
     }},
    {"Basic/16x16/delete_button_error.png",
     [](QPainter &p) {
         p.setPen(pen(Red.darker(150), 1.0));
         p.setBrush(Red);
         p.drawEllipse(QRectF(0.8, 0.8, 14.4, 14.4));
         p.setPen(pen(Paper, 2.0));
         p.drawLine(QPointF(5, 5), QPointF(11, 11));
         p.drawLine(QPointF(11, 5), QPointF(5, 11));
     }},
    {"Basic/16x16/info.png",
     [](QPainter &p) {
         p.setPen(pen(Blue.darker(150), 1.0));
         p.setBrush(Blue);
         p.drawEllipse(QRectF(0.8, 0.8, 14.4, 14.4));
         p.setPen(pen(Paper, 2.0));
         p.drawPoint(QPointF(8, 4.5));
         p.drawLine(QPointF(8, 7.5), QPointF(8, 12));
     }},
    {"Industry/16x16/manufacturing_process_1_gear-edit.png",
     [](QPainter &p) {
         QPainterPath gear;
         const QPointF c(7, 7);
         for (int i = 0; i < 8; ++i) {
             p.save();
             p.translate(c);
             p.rotate(i * 45.0);
             p.setPen(Qt::NoPen);
             p.setBrush(Steel);
             p.drawRect(QRectF(-1.5, -7, 3, 3));
             p.restore();
         }
         p.setPen(pen(Steel.darker(150), 1.0));
         p.setBrush(Steel);
         p.drawEllipse(c, 4.8, 4.8);
         p.setBrush(Paper);
         p.drawEllipse(c, 1.8, 1.8);
         // a pencil: the record changed something
         p.setPen(pen(Ink, 0.8));
         p.setBrush(Amber);
         QPolygonF pencil;
         pencil << QPointF(10, 15.5) << QPointF(10.5, 13) << QPointF(14, 9.5) << QPointF(15.5, 11) << QPointF(12, 14.5);
         p.drawPolygon(pencil);
     }},
};

// The sizes of the application icon in the desktop's hicolor theme.
const int AppIconSizes[] = {16, 32, 48, 64, 128, 256};

bool savePng(const std::function<void(QPainter &)> &draw, int size, const QString &path)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 16.0, size / 16.0);
        draw(painter);
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// The application icon as SVG, from the same geometry as the painted clock.
bool saveClockSvg(const QRectF &r, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    const ClockHands h = clockHands(r);
    const auto n = [](qreal v) { return QString::number(v, 'g', 6); };
    QTextStream svg(&file);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"16\" height=\"16\" viewBox=\"0 0 16 16\">\n"
        << "  <g stroke=\"" << Ink.name() << "\" stroke-width=\"" << n(ClockStroke)
        << "\" stroke-linecap=\"round\" stroke-linejoin=\"round\">\n"
        << "    <ellipse cx=\"" << n(h.centre.x()) << "\" cy=\"" << n(h.centre.y()) << "\" rx=\"" << n(r.width() / 2)
        << "\" ry=\"" << n(r.height() / 2) << "\" fill=\"" << Paper.name() << "\"/>\n"
        << "    <path d=\"M" << n(h.minute.x()) << " " << n(h.minute.y()) << " L" << n(h.centre.x()) << " "
        << n(h.centre.y()) << " L" << n(h.hour.x()) << " " << n(h.hour.y()) << "\" fill=\"none\"/>\n"
        << "  </g>\n"
        << "</svg>\n";
    svg.flush();
    return file.commit();
}

// The Windows icon of khronar.exe: the PNG files of the application icon packed into one
// .ico, each image stored as PNG (which Windows reads at every size since Vista).
bool saveIco(const QStringList &pngPaths, const QString &path)
{
    QList<QByteArray> images;
    for (const QString &png : pngPaths) {
        QFile file(png);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(png));
            return false;
        }
        images << file.readAll();
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    QDataStream ico(&file);
    ico.setByteOrder(QDataStream::LittleEndian);
    ico << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * quint32(images.size());
    for (int i = 0; i < images.size(); ++i) {
        const QImage image = QImage::fromData(images[i], "PNG");
        // A side of 256 is written as 0: the field is one byte.
        ico << quint8(image.width() & 0xFF) << quint8(image.height() & 0xFF) << quint8(0) << quint8(0) << quint16(1)
            << quint16(32) << quint32(images[i].size()) << offset;
        offset += quint32(images[i].size());
    }
    for (const QByteArray &image : images)
        ico.writeRawData(image.constData(), image.size());
    return ico.status() == QDataStream::Ok && file.commit();
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: iconpainter ICONS_DIR HICOLOR_DIR\n");
        return 2;
    }
    const QDir icons16(QString::fromLocal8Bit(argv[1]));
    for (const Icon &icon : icons) {
        if (!savePng(icon.draw, 16, icons16.filePath(QString::fromLatin1(icon.path))))
            return 1;
    }

    const QDir hicolor(QString::fromLocal8Bit(argv[2]));
    const auto appIcon = [](QPainter &p) { clock(p, AppClock); };
    QStringList pngs;
    for (int size : AppIconSizes) {
        const QString path = hicolor.filePath(QStringLiteral("%1x%1/apps/khronar.png").arg(size));
        if (!savePng(appIcon, size, path))
            return 1;
        pngs << path;
    }
    // Beside the theme's folder: resources/khronar.ico.
    if (!saveIco(pngs, hicolor.filePath(QStringLiteral("../khronar.ico"))))
        return 1;
    return saveClockSvg(AppClock, hicolor.filePath(QStringLiteral("scalable/apps/khronar.svg"))) ? 0 : 1;
}
