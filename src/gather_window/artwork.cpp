#include "gather_window/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPixmapCache>

namespace tallyfold {

namespace {
QPixmap drawBanner() {
    QPixmap banner(700, 150);
    QPainter p(&banner);
    QLinearGradient sky(0, 0, 700, 150);
    sky.setColorAt(0, QColor(0x1d, 0x4e, 0x89));
    sky.setColorAt(1, QColor(0x4f, 0x9d, 0xd9));
    p.fillRect(banner.rect(), sky);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 40));
    for (int i = 0; i < 6; ++i)
        p.drawEllipse(QPointF(560 + i * 22, 60 + (i % 2) * 30), 50 - i * 5, 50 - i * 5);
    p.setPen(Qt::white);
    QFont title(QStringLiteral("Noto Serif CJK SC"));
    title.setPixelSize(30);
    title.setBold(true);
    p.setFont(title);
    p.drawText(QRect(60, 40, 520, 50), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("计次餐饮数据采集"));
    title.setPixelSize(14);
    title.setBold(false);
    p.setFont(title);
    p.drawText(QRect(62, 92, 520, 24), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Tallyfold"));
    return banner;
}

QPixmap drawTerminal(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 16.0;
    p.setPen(QPen(QColor(0x20, 0x30, 0x40), s));
    p.setBrush(QColor(0xe8, 0xe8, 0xe0));
    p.drawRoundedRect(QRectF(2 * s, 1 * s, 12 * s, 14 * s), 2 * s, 2 * s);
    p.setBrush(QColor(0x30, 0x90, 0x60));
    p.drawRect(QRectF(4 * s, 3 * s, 8 * s, 4 * s));
    p.setBrush(QColor(0x90, 0x90, 0x90));
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            p.drawRect(QRectF((4 + c * 3) * s, (9 + r * 2.5) * s, 2 * s, 1.5 * s));
    return pixmap;
}

// Drawn once and shared by every window after: a picture drawn again is a new pixmap to Qt,
// and the icons and labels showing it would add copies of their own to Qt's pixmap cache for
// every window, up to the cache's cap.
template <class Draw>
QPixmap drawnOnce(const QString& key, Draw draw) {
    QPixmap pixmap;
    if (!QPixmapCache::find(key, &pixmap)) {
        pixmap = draw();
        QPixmapCache::insert(key, pixmap);
    }
    return pixmap;
}
}  // namespace

QPixmap bannerPicture() {
    return drawnOnce(QStringLiteral("tallyfold-banner"), drawBanner);
}

QPixmap terminalPicture(int size) {
    return drawnOnce(QStringLiteral("tallyfold-terminal-%1").arg(size), [size] { return drawTerminal(size); });
}

QIcon windowIcon() {
    QIcon icon;
    icon.addPixmap(terminalPicture(16));
    icon.addPixmap(terminalPicture(32));
    return icon;
}

}  // namespace tallyfold
