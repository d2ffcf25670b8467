#include "app/Icon.h"

#include <QPainter>
#include <QPixmap>

namespace mg {

QImage MailgroveIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal m = size / 8.0;
    const QRectF body(m / 2, size * 0.2, size - m, size * 0.6);
    p.setPen(QPen(QColor(40, 70, 40), size / 16.0 + 0.5));
    p.setBrush(QColor(240, 236, 210));
    p.drawRect(body);
    p.drawLine(body.topLeft(), QPointF(body.center().x(), body.center().y() + m / 2));
    p.drawLine(body.topRight(), QPointF(body.center().x(), body.center().y() + m / 2));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(60, 140, 60));
    p.drawEllipse(QPointF(size * 0.78, size * 0.74), size * 0.17, size * 0.17);
    return image;
}

QIcon MailgroveIcon() {
    static const QIcon icon = [] {
        QIcon result;
        for (int size : {16, 32, 48}) result.addPixmap(QPixmap::fromImage(MailgroveIconImage(size)));
        return result;
    }();
    return icon;
}

QIcon MailgroveIconWithCount(int count) {
    if (count <= 0) return MailgroveIcon();
    QPixmap pixmap = MailgroveIcon().pixmap(32, 32);
    QPainter painter(&pixmap);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(count > 99 ? 11 : 14);
    painter.setFont(font);
    const QRect badge(12, 14, 20, 18);
    painter.setBrush(Qt::red);
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(badge, 6, 6);
    painter.setPen(Qt::white);
    painter.drawText(badge, Qt::AlignCenter, count > 99 ? QStringLiteral("99+") : QString::number(count));
    return QIcon(pixmap);
}

}  // namespace mg
