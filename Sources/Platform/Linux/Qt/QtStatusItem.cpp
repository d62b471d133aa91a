#include "Platform/Linux/Qt/QtStatusItem.hpp"

#include <QAction>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace talkweft::platform::linuxdesktop {

namespace qtstatusitem {

struct IconColours {
    QColor fill, outline, lines;
};

IconColours coloursOf(StatusActivity activity) {
    switch (activity) {
        case StatusActivity::recording: return {QColor(0xe5, 0x39, 0x2f), QColor(0x8c, 0x1c, 0x16), Qt::white};
        case StatusActivity::working: return {QColor(0x8a, 0x5c, 0xf5), QColor(0x4b, 0x2a, 0x99), Qt::white};
        case StatusActivity::idle: break;
    }
    return {QColor(0xf2, 0xf2, 0xf2), QColor(0x40, 0x40, 0x40), QColor(0x40, 0x40, 0x40)};
}

// Sizes drawn into the icon; the tray picks the one that fits its height.
constexpr int ICON_SIZES[] = {16, 22, 24, 32, 48, 64};

}  // namespace qtstatusitem

QImage drawStatusIcon(StatusActivity activity, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 24.0, size / 24.0);  // drawn on a 24-unit grid
    const auto colours = qtstatusitem::coloursOf(activity);

    // The bubble: a rounded body with a tail at its lower left.
    QPainterPath body;
    body.addRoundedRect(QRectF(2, 3, 20, 14), 4, 4);
    QPainterPath tail;
    tail.moveTo(6, 15);
    tail.lineTo(6, 21.5);
    tail.lineTo(12, 15);
    tail.closeSubpath();
    const QPainterPath bubble = body.united(tail);
    p.setPen(QPen(colours.outline, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(colours.fill);
    p.drawPath(bubble);

    // Three lines of text of different lengths.
    p.setPen(QPen(colours.lines, 1.8, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(6, 7), QPointF(18, 7));
    p.drawLine(QPointF(6, 10), QPointF(16, 10));
    p.drawLine(QPointF(6, 13), QPointF(13, 13));
    p.end();
    return image;
}

QKeySequence calcMenuShortcut(const std::string& key) {
    if (key.empty()) return {};
    const QString text = QString::fromStdString(key);
    Qt::KeyboardModifiers modifiers = Qt::MetaModifier;
    QString keyText = text;
    if (text.size() == 1 && text[0].isLetter()) {
        if (text[0].isUpper()) modifiers |= Qt::ShiftModifier;
        keyText = text.toUpper();  // Qt names letter keys in upper case
    }
    const QKeySequence base = QKeySequence::fromString(keyText, QKeySequence::PortableText);
    if (base.isEmpty()) return {};
    return QKeySequence(QKeyCombination(modifiers, base[0].key()));
}

QString calcMenuText(const std::string& title) {
    QString text = QString::fromStdString(title);
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return text;
}

QtStatusItem::QtStatusItem(std::function<void(const std::string&)> log)
    : menu_(std::make_unique<QMenu>()), tray_(std::make_unique<QSystemTrayIcon>()) {
    tray_->setContextMenu(menu_.get());
    QObject::connect(menu_.get(), &QMenu::aboutToShow, menu_.get(), [this] { rebuildMenu(); });
    // A left click opens the menu too, as a click on a status item does.
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, menu_.get(), [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !menu_->isVisible()) menu_->popup(QCursor::pos());
    });
    if (log && !QSystemTrayIcon::isSystemTrayAvailable())
        log("tray: no system tray is running; the icon and its menu appear when one starts");
}

QtStatusItem::~QtStatusItem() {
    // The icon goes first: it refers to the menu.
    tray_.reset();
    menu_.reset();
}

void QtStatusItem::setIcon(const std::string&, const std::string& accessibilityDescription) {
    // Every symbol is drawn as the speech bubble: it is the only one the application shows.
    tray_->setToolTip(QString::fromStdString(accessibilityDescription));
    hasIcon_ = true;
    redraw();
    tray_->show();
}

void QtStatusItem::setMenuBuilder(std::function<std::vector<MenuItem>()> build) { build_ = std::move(build); }

void QtStatusItem::setActivity(StatusActivity activity) {
    if (activity == activity_) return;
    activity_ = activity;
    if (hasIcon_) redraw();
}

void QtStatusItem::redraw() {
    QIcon icon;
    for (int size : qtstatusitem::ICON_SIZES) icon.addPixmap(QPixmap::fromImage(drawStatusIcon(activity_, size)));
    tray_->setIcon(icon);
}

void QtStatusItem::rebuildMenu() {
    menu_->clear();
    if (!build_) return;
    for (const MenuItem& item : build_()) {
        if (item.separator) {
            menu_->addSeparator();
            continue;
        }
        QAction* action = menu_->addAction(calcMenuText(item.title));
        action->setEnabled(item.enabled);
        if (item.checked) {
            action->setCheckable(true);
            action->setChecked(true);
        }
        if (!item.keyEquivalent.empty()) {
            action->setShortcut(calcMenuShortcut(item.keyEquivalent));
            action->setShortcutContext(Qt::WidgetShortcut);  // shown in the menu, not a global key
            action->setShortcutVisibleInContextMenu(true);
        }
        if (item.action) {
            // Runs once the menu has closed and its click is handled: an action may open a window,
            // wait on the main loop or quit.
            QObject::connect(action, &QAction::triggered, menu_.get(), [this, run = item.action] {
                QMetaObject::invokeMethod(menu_.get(), run, Qt::QueuedConnection);
            });
        }
    }
}

}  // namespace talkweft::platform::linuxdesktop
