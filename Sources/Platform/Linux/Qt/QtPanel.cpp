#include "Platform/Linux/Qt/QtPanel.hpp"

#include <algorithm>
#include <cmath>

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QBitmap>
#include <QCursor>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QUrl>
#include <QVariantAnimation>
#include <QWidget>

#include "Platform/Linux/PanelX11.hpp"

namespace talkweft::platform::linuxdesktop {

namespace qtpanel {

constexpr qreal PAD_H = 14;       // left and right
constexpr qreal PAD_V = 10;       // top and bottom
constexpr qreal MAX_WIDTH = 520;  // the whole panel
constexpr qreal RADIUS = 12;
constexpr qreal ICON = 16;        // icon box
constexpr qreal ICON_GAP = 8;     // between icon and text
constexpr qreal ROW_SPACING = 4;  // between the thinking rows
constexpr qreal STACK_SPACING = 8;  // between the message and its buttons
constexpr int DETAIL_LINES = 3;
constexpr qreal TEXT_INSET = 2;   // the message view's inset above and below its text
constexpr qreal PULSE_LOW = 0.35;  // the pulse's faintest icon opacity
constexpr int PULSE_MS = 1000;     // one pulse, faint and back

QString toQString(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QColor tintColour(const std::string& tint, const QPalette& palette) {
    if (tint == "green") return QColor(52, 199, 89);
    if (tint == "purple") return QColor(175, 82, 222);
    if (tint == "orange") return QColor(255, 149, 0);
    QColor c = palette.color(QPalette::WindowText);
    c.setAlphaF(0.55f);
    return c;
}

QColor secondaryColour(const QPalette& palette) { return tintColour("secondary", palette); }

QColor separatorColour(const QPalette& palette) {
    QColor c = palette.color(QPalette::WindowText);
    c.setAlphaF(0.18f);
    return c;
}

// A four-pointed star with curved sides around (cx, cy).
QPainterPath starPath(qreal cx, qreal cy, qreal r, qreal waist) {
    QPainterPath p;
    p.moveTo(cx, cy - r);
    p.quadTo(cx + waist, cy - waist, cx + r, cy);
    p.quadTo(cx + waist, cy + waist, cx, cy + r);
    p.quadTo(cx - waist, cy + waist, cx - r, cy);
    p.quadTo(cx - waist, cy - waist, cx, cy - r);
    p.closeSubpath();
    return p;
}

QPainterPath strokeOf(const QPainterPath& path, qreal width) {
    QPainterPathStroker s;
    s.setWidth(width);
    s.setCapStyle(Qt::RoundCap);
    s.setJoinStyle(Qt::RoundJoin);
    return s.createStroke(path);
}

// The filled outline of a symbol in a 16 x 16 box; empty for an unknown name.
QPainterPath symbolPath(const std::string& name) {
    QPainterPath out;
    out.setFillRule(Qt::WindingFill);
    if (name == "mic.fill") {
        out.addRoundedRect(QRectF(5.25, 0.75, 5.5, 9.5), 2.75, 2.75);
        QPainterPath stand;
        stand.moveTo(3.25, 7.25);
        stand.cubicTo(3.25, 13.1, 12.75, 13.1, 12.75, 7.25);
        stand.moveTo(8, 11.75);
        stand.lineTo(8, 14.5);
        stand.moveTo(5.5, 14.75);
        stand.lineTo(10.5, 14.75);
        out = out.united(strokeOf(stand, 1.5));
    } else if (name == "sparkles") {
        out.addPath(starPath(6.5, 9.5, 6.25, 1.4));
        out.addPath(starPath(12.75, 3.25, 3.0, 0.7));
        out.addPath(starPath(13.25, 12.75, 2.0, 0.5));
    } else if (name == "waveform") {
        const qreal heights[] = {4, 9, 14, 7, 11, 4};
        QPainterPath bars;
        for (int i = 0; i < 6; ++i) {
            const qreal x = 1.5 + i * 2.6, h = heights[i];
            bars.moveTo(x, 8 - h / 2);
            bars.lineTo(x, 8 + h / 2);
        }
        out = strokeOf(bars, 1.6);
    } else if (name == "exclamationmark.triangle.fill") {
        QPainterPath tri;
        tri.moveTo(8, 1.6);
        tri.lineTo(14.9, 14.1);
        tri.lineTo(1.1, 14.1);
        tri.closeSubpath();
        QPainterPath body = tri.united(strokeOf(tri, 1.6));
        QPainterPath mark;
        mark.addRoundedRect(QRectF(7.15, 5.2, 1.7, 5.4), 0.85, 0.85);
        mark.addEllipse(QPointF(8, 12.3), 1.0, 1.0);
        out = body.subtracted(mark);
    } else if (name == "checkmark.circle.fill") {
        QPainterPath circle;
        circle.addEllipse(QPointF(8, 8), 7.5, 7.5);
        QPainterPath tick;
        tick.moveTo(4.7, 8.3);
        tick.lineTo(7.0, 10.6);
        tick.lineTo(11.3, 5.6);
        out = circle.subtracted(strokeOf(tick, 1.8));
    }
    return out;
}

void drawSymbol(QPainter& p, const std::string& name, const QRectF& box, const QColor& colour, qreal opacity) {
    const QPainterPath path = symbolPath(name);
    if (path.isEmpty()) return;
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(opacity);
    p.translate(box.topLeft());
    p.scale(box.width() / 16.0, box.height() / 16.0);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(path);
    p.restore();
}

// Text broken into lines no wider than a limit, at most `maxLines` of them (0: any), the last one
// cut short with an ellipsis when more text follows.
struct Lines {
    QStringList lines;
    qreal width = 0;
    qreal height = 0;
};

Lines wrapText(const QString& text, const QFont& font, qreal maxWidth, int maxLines) {
    Lines out;
    QString laid = text;
    laid.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(laid, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    std::vector<std::pair<int, int>> spans;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(maxWidth);
        spans.emplace_back(line.textStart(), line.textLength());
    }
    layout.endLayout();
    const QFontMetricsF metrics(font);
    const bool cut = maxLines > 0 && static_cast<int>(spans.size()) > maxLines;
    const std::size_t count = cut ? static_cast<std::size_t>(maxLines) : spans.size();
    for (std::size_t i = 0; i < count; ++i) {
        QString line = laid.mid(spans[i].first, spans[i].second);
        if (cut && i + 1 == count) {
            line = laid.mid(spans[i].first);
            line.replace(QChar::LineSeparator, QLatin1Char(' '));
            line = metrics.elidedText(line, Qt::ElideRight, maxWidth);
        }
        while (!line.isEmpty() && (line.back() == QChar::LineSeparator || line.back().isSpace())) line.chop(1);
        out.width = std::max(out.width, std::min(maxWidth, metrics.horizontalAdvance(line)));
        out.lines << line;
    }
    if (out.lines.isEmpty()) out.lines << QString();
    out.height = metrics.lineSpacing() * static_cast<qreal>(out.lines.size());
    return out;
}

void drawLines(QPainter& p, const Lines& lines, QPointF origin, const QFont& font, const QColor& colour) {
    const QFontMetricsF metrics(font);
    p.save();
    p.setFont(font);
    p.setPen(colour);
    qreal y = origin.y() + metrics.ascent();
    for (const QString& line : lines.lines) {
        p.drawText(QPointF(origin.x(), y), line);
        y += metrics.lineSpacing();
    }
    p.restore();
}

// The message's rendered runs, all at the size of `font`: bold, italic, monospace and links kept.
void fillDocument(QTextDocument& doc, const std::vector<TextRun>& runs, const QFont& font, const QPalette& palette) {
    doc.clear();
    doc.setDocumentMargin(0);
    doc.setDefaultFont(font);
    QTextCursor cursor(&doc);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (const TextRun& run : runs) {
        // Every run starts from the one font, so all keep its size whatever their style.
        QFont runFont = font;
        if (run.monospace) {
            runFont.setFamilies(fixed.families());
            runFont.setStyleHint(QFont::Monospace);
            runFont.setFixedPitch(true);
        }
        runFont.setBold(run.bold);
        runFont.setItalic(run.italic);
        QTextCharFormat format;
        format.setFont(runFont);
        format.setForeground(palette.color(QPalette::WindowText));
        if (!run.link.empty()) {
            format.setAnchor(true);
            format.setAnchorHref(toQString(run.link));
            format.setFontUnderline(true);
            format.setForeground(palette.color(QPalette::Link));
        }
        cursor.insertText(toQString(run.text), format);
    }
}

bool linkOpens(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == "http" || scheme == "https" || scheme == "mailto");
}

// Where everything goes for one content, in window coordinates.
struct Layout {
    QSizeF size{2 * PAD_H, 2 * PAD_V};
    QRectF icon;
    Lines text;
    QPointF textAt;
    Lines detail;
    QPointF detailAt;
    QRectF message;  // the text view
    qreal buttonsTop = 0;
};

// The message's text view: its text sits TEXT_INSET below the top and above the bottom.
class InsetTextView : public QTextBrowser {
public:
    explicit InsetTextView(QWidget* parent) : QTextBrowser(parent) {
        setViewportMargins(0, static_cast<int>(TEXT_INSET), 0, static_cast<int>(TEXT_INSET));
    }
};

class QtPanelWindow : public QWidget {
public:
    QtPanelWindow()
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                               Qt::X11BypassWindowManagerHint) {
        // Unmanaged by the window manager (override-redirect): it gets no frame, no place in the
        // taskbar or pager, never the focus, and stays above the managed windows.
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_X11DoNotAcceptFocus);
        setFocusPolicy(Qt::NoFocus);
        setWindowTitle(QStringLiteral("Talkweft HUD"));
        if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
            queries_ = std::make_unique<PanelDesktopQueries>(x11->display());
            compositing_ = queries_->connected() && queries_->compositorRunning();
        }
        if (compositing_) setAttribute(Qt::WA_TranslucentBackground);

        view_ = new InsetTextView(this);
        view_->setReadOnly(true);
        // A link opens in the desktop's handler, never inside the view; only web and mail links do,
        // so a click on a reply's link cannot start a local program or reach our own URL scheme.
        view_->setOpenLinks(false);
        QObject::connect(view_, &QTextBrowser::anchorClicked, [](const QUrl& url) {
            if (linkOpens(url)) QDesktopServices::openUrl(url);
        });
        view_->setTextInteractionFlags(Qt::TextBrowserInteraction);
        view_->setFrameShape(QFrame::NoFrame);
        view_->setFocusPolicy(Qt::NoFocus);
        view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        view_->setAutoFillBackground(false);
        view_->viewport()->setAutoFillBackground(false);
        QPalette clear = view_->palette();
        clear.setColor(QPalette::Base, Qt::transparent);
        view_->setPalette(clear);
        view_->hide();

        copy_ = new QPushButton(QStringLiteral("Copy"), this);
        close_ = new QPushButton(QStringLiteral("Close"), this);
        for (QPushButton* b : {copy_, close_}) {
            b->setFocusPolicy(Qt::NoFocus);
            b->setAutoDefault(false);
            b->hide();
        }
        QObject::connect(copy_, &QPushButton::clicked, [this] {
            if (onCopy) onCopy();
        });
        QObject::connect(close_, &QPushButton::clicked, [this] {
            if (onClose) onClose();
        });

        pulse_ = new QVariantAnimation(this);
        pulse_->setStartValue(1.0);
        pulse_->setKeyValueAt(0.5, PULSE_LOW);
        pulse_->setEndValue(1.0);
        pulse_->setDuration(PULSE_MS);
        pulse_->setLoopCount(-1);
        pulse_->setEasingCurve(QEasingCurve::InOutSine);
        QObject::connect(pulse_, &QVariantAnimation::valueChanged, [this](const QVariant& v) {
            iconOpacity_ = v.toReal();
            update(layout_.icon.toAlignedRect());
        });
    }

    void setContent(const PanelContent& content) {
        const bool newMessage = content.kind == PanelContent::Kind::message &&
                                (content_.kind != PanelContent::Kind::message || content_.message != content.message);
        content_ = content;
        if (newMessage) {
            fillDocument(*view_->document(), content.message, font(), palette());
            view_->verticalScrollBar()->setValue(0);
        }
        relayout();
        updatePulse();
        update();
    }

    const PanelContent& content() const { return content_; }
    QSize fitting() const { return QSize(static_cast<int>(std::ceil(layout_.size.width())), static_cast<int>(std::ceil(layout_.size.height()))); }

    double textHeight(const std::vector<TextRun>& runs, double width) {
        QTextDocument doc;
        fillDocument(doc, runs, font(), palette());
        doc.setTextWidth(width);
        return doc.documentLayout()->documentSize().height();
    }

    bool pulsing() const { return pulse_->state() == QAbstractAnimation::Running; }

    QImage snapshot() {
        QImage image(size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        const qreal opacity = iconOpacity_;
        iconOpacity_ = 1;
        render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        iconOpacity_ = opacity;
        return image;
    }

    PanelDesktopQueries* queries() const { return queries_.get(); }
    QTextBrowser* view() const { return view_; }
    QPushButton* copyButton() const { return copy_; }
    QPushButton* closeButton() const { return close_; }

    std::function<void()> onCopy;
    std::function<void()> onClose;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF outer = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QColor background = palette().color(QPalette::Window);
        if (compositing_) background.setAlphaF(0.92f);
        p.setPen(QPen(separatorColour(palette()), 1));
        p.setBrush(background);
        p.drawRoundedRect(outer, RADIUS, RADIUS);
        if (content_.kind == PanelContent::Kind::empty) return;
        drawSymbol(p, content_.icon, layout_.icon, tintColour(content_.tint, palette()), content_.pulsing ? iconOpacity_ : 1.0);
        if (content_.kind == PanelContent::Kind::row || content_.kind == PanelContent::Kind::thinking)
            drawLines(p, layout_.text, layout_.textAt, font(), palette().color(QPalette::WindowText));
        if (content_.kind == PanelContent::Kind::thinking)
            drawLines(p, layout_.detail, layout_.detailAt, font(), secondaryColour(palette()));
    }

    void resizeEvent(QResizeEvent*) override {
        placeChildren();
        if (!compositing_) {
            // No compositor draws the corners transparent: cut the window to its rounded shape.
            QBitmap mask(size());
            mask.fill(Qt::color0);
            QPainter p(&mask);
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::color1);
            p.drawRoundedRect(QRectF(rect()), RADIUS, RADIUS);
            p.end();
            setMask(mask);
        }
    }

    void showEvent(QShowEvent*) override { updatePulse(); }
    void hideEvent(QHideEvent*) override { updatePulse(); }

    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && content_.kind == PanelContent::Kind::message && onClose) {
            onClose();
            return;
        }
        QWidget::keyPressEvent(event);
    }

private:
    void updatePulse() {
        const bool run = content_.pulsing && isVisible();
        if (run && pulse_->state() != QAbstractAnimation::Running) {
            pulse_->start();
        } else if (!run && pulse_->state() != QAbstractAnimation::Stopped) {
            pulse_->stop();
            iconOpacity_ = 1;
        }
    }

    void relayout() {
        Layout l;
        const QFont f = font();
        const qreal inner = MAX_WIDTH - 2 * PAD_H;  // the widest content
        const qreal textMax = inner - ICON - ICON_GAP;
        switch (content_.kind) {
            case PanelContent::Kind::empty: break;
            case PanelContent::Kind::row:
            case PanelContent::Kind::thinking: {
                l.text = wrapText(toQString(content_.text), f, textMax, 0);
                const qreal rowH = std::max(ICON, l.text.height);
                l.icon = QRectF(PAD_H, PAD_V + (rowH - ICON) / 2, ICON, ICON);
                l.textAt = QPointF(PAD_H + ICON + ICON_GAP, PAD_V + (rowH - l.text.height) / 2);
                qreal w = ICON + ICON_GAP + l.text.width, h = rowH;
                if (content_.kind == PanelContent::Kind::thinking) {
                    l.detail = wrapText(toQString(content_.detail), f, inner, DETAIL_LINES);
                    l.detailAt = QPointF(PAD_H, PAD_V + rowH + ROW_SPACING);
                    w = std::max(w, l.detail.width);
                    h += ROW_SPACING + l.detail.height;
                }
                l.size = QSizeF(std::min(MAX_WIDTH, w + 2 * PAD_H), h + 2 * PAD_V);
                break;
            }
            case PanelContent::Kind::message: {
                const qreal viewW = std::clamp<qreal>(content_.messageWidth, 0, textMax);
                const qreal viewH = std::max<qreal>(content_.messageHeight, 0);
                const qreal rowH = std::max(ICON, viewH);
                l.icon = QRectF(PAD_H, PAD_V + iconDrop(), ICON, ICON);
                l.message = QRectF(PAD_H + ICON + ICON_GAP, PAD_V, viewW, viewH);
                l.buttonsTop = PAD_V + rowH + STACK_SPACING;
                const qreal buttonsH = std::max(copy_->sizeHint().height(), close_->sizeHint().height());
                l.size = QSizeF(std::min(MAX_WIDTH, ICON + ICON_GAP + viewW + 2 * PAD_H), l.buttonsTop + buttonsH + PAD_V);
                break;
            }
        }
        layout_ = l;
        const bool message = content_.kind == PanelContent::Kind::message;
        view_->setVisible(message);
        copy_->setVisible(message);
        close_->setVisible(message);
        placeChildren();
    }

    // The icon beside a message lines up with the text's first line.
    qreal iconDrop() const {
        const qreal line = QFontMetricsF(font()).height();
        return std::max<qreal>(0, TEXT_INSET + (line - ICON) / 2);
    }

    void placeChildren() {
        if (content_.kind != PanelContent::Kind::message) return;
        view_->setGeometry(layout_.message.toAlignedRect());
        const QSize copySize = copy_->sizeHint(), closeSize = close_->sizeHint();
        const int right = width() - static_cast<int>(PAD_H);
        const int top = static_cast<int>(layout_.buttonsTop);
        close_->setGeometry(right - closeSize.width(), top, closeSize.width(), closeSize.height());
        copy_->setGeometry(right - closeSize.width() - static_cast<int>(ICON_GAP) - copySize.width(), top, copySize.width(),
                           copySize.height());
    }

    PanelContent content_;
    Layout layout_;
    QTextBrowser* view_ = nullptr;
    QPushButton* copy_ = nullptr;
    QPushButton* close_ = nullptr;
    QVariantAnimation* pulse_ = nullptr;
    qreal iconOpacity_ = 1;
    bool compositing_ = false;
    std::unique_ptr<PanelDesktopQueries> queries_;
};

QRect primaryGeometry() {
    QScreen* primary = QGuiApplication::primaryScreen();
    return primary ? primary->geometry() : QRect();
}

// Qt's top-left rectangle in the panel's bottom-left space, and back.
Rect toPanelSpace(const QRect& r) {
    const QRect p = primaryGeometry();
    return Rect{static_cast<double>(r.x() - p.x()), static_cast<double>(p.y() + p.height() - (r.y() + r.height())),
                static_cast<double>(r.width()), static_cast<double>(r.height())};
}

Screen screenOf(QScreen* s) { return Screen{toPanelSpace(s->geometry()), toPanelSpace(s->availableGeometry())}; }

}  // namespace qtpanel

using qtpanel::QtPanelWindow;

QtPanel::QtPanel() : window_(std::make_unique<QtPanelWindow>()) {
    window_->resize(520, 60);
    window_->winId();  // the X window exists from now on, so its input region can be set
    setPanelInputEmpty(qtDisplay(), window_->winId(), true);
}

QtPanel::~QtPanel() = default;

_XDisplay* QtPanel::qtDisplay() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->display() : nullptr;
}

void QtPanel::setContent(const PanelContent& content) {
    window_->setContent(content);
    // A shown panel whose content is redrawn on its own (the thinking counter gaining a digit)
    // takes the content's size at once, its top-left corner staying where it is, so no text is cut
    // off at its edge. A show() sets the size and place again right after.
    if (window_->isVisible() && window_->size() != window_->fitting()) window_->resize(window_->fitting());
}

Size QtPanel::fittingSize() {
    const QSize s = window_->fitting();
    return Size{static_cast<double>(s.width()), static_cast<double>(s.height())};
}

double QtPanel::textHeight(const std::vector<TextRun>& runs, double width) { return window_->textHeight(runs, width); }

void QtPanel::setIgnoresMouse(bool ignores) {
    if (ignores == ignoresMouse_) return;
    ignoresMouse_ = ignores;
    setPanelInputEmpty(qtDisplay(), window_->winId(), ignores);
}

bool QtPanel::isVisible() { return window_->isVisible(); }

Rect QtPanel::frame() { return qtpanel::toPanelSpace(window_->geometry()); }

void QtPanel::setContentSize(Size size) {
    window_->resize(static_cast<int>(std::ceil(size.width)), static_cast<int>(std::ceil(size.height)));
}

void QtPanel::setFrameOrigin(Point origin) {
    const QRect p = qtpanel::primaryGeometry();
    const int x = static_cast<int>(std::lround(origin.x)) + p.x();
    const int y = p.y() + p.height() - static_cast<int>(std::lround(origin.y)) - window_->height();
    window_->move(x, y);
}

void QtPanel::orderFrontWithoutActivating() {
    window_->show();
    window_->raise();
}

void QtPanel::orderOut() { window_->hide(); }

void QtPanel::setButtonHandlers(std::function<void()> onCopy, std::function<void()> onClose) {
    window_->onCopy = std::move(onCopy);
    window_->onClose = std::move(onClose);
}

std::vector<Screen> QtPanel::screens() {
    std::vector<Screen> out;
    QScreen* primary = QGuiApplication::primaryScreen();
    if (primary) out.push_back(qtpanel::screenOf(primary));
    for (QScreen* s : QGuiApplication::screens())
        if (s != primary) out.push_back(qtpanel::screenOf(s));
    return out;
}

bool QtPanel::mainScreen(Screen& out) {
    QScreen* found = nullptr;
    if (auto* queries = window_->queries())
        if (auto centre = queries->activeWindowCentre()) found = QGuiApplication::screenAt(QPoint(centre->x, centre->y));
    if (!found) found = QGuiApplication::screenAt(QCursor::pos());
    if (!found) found = QGuiApplication::primaryScreen();
    if (!found) return false;
    out = qtpanel::screenOf(found);
    return true;
}

QWidget* QtPanel::window() const { return window_.get(); }
QTextBrowser* QtPanel::messageView() const { return window_->view(); }
QPushButton* QtPanel::copyButton() const { return window_->copyButton(); }
QPushButton* QtPanel::closeButton() const { return window_->closeButton(); }
bool QtPanel::isPulsing() const { return window_->pulsing(); }
bool QtPanel::acceptsMouse() const { return !panelInputEmpty(qtDisplay(), window_->winId()); }
QImage QtPanel::snapshot() const { return window_->snapshot(); }

}  // namespace talkweft::platform::linuxdesktop
