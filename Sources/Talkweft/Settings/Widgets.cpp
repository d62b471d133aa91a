#include "Talkweft/Settings/Widgets.hpp"

#include <algorithm>

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

namespace talkweft {

Stepper::Stepper(double lower, double upper, double step, std::function<QString(double)> format, QWidget* parent)
    : QWidget(parent), lower_(lower), upper_(upper), step_(step), value_(lower), format_(std::move(format)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    label_ = new QLabel(this);
    minus_ = new QToolButton(this);
    plus_ = new QToolButton(this);
    minus_->setObjectName("decrement");
    plus_->setObjectName("increment");
    minus_->setText(QString::fromUtf8("−"));
    plus_->setText("+");
    minus_->setAccessibleName("Decrement");
    plus_->setAccessibleName("Increment");
    row->addWidget(label_, 1);
    row->addWidget(minus_);
    row->addWidget(plus_);
    row->setSpacing(2);
    QObject::connect(minus_, &QToolButton::clicked, this, [this] { stepBy(-step_); });
    QObject::connect(plus_, &QToolButton::clicked, this, [this] { stepBy(step_); });
    redraw();
}

void Stepper::setValue(double value) {
    value_ = value;
    redraw();
}

void Stepper::stepBy(double delta) {
    double next = std::clamp(value_ + delta, lower_, upper_);
    if (next == value_) return;
    value_ = next;
    redraw();
    if (onChange) onChange(value_);
}

void Stepper::redraw() {
    label_->setText(format_(value_));
    minus_->setEnabled(value_ > lower_);
    plus_->setEnabled(value_ < upper_);
}

QGroupBox* makeSection(const QString& title, const QString& name) {
    auto* box = new QGroupBox(title);
    box->setObjectName(name);
    auto* form = new QFormLayout(box);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    form->setRowWrapPolicy(QFormLayout::DontWrapRows);
    return box;
}

QLabel* makeFootnote(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    // Secondary: the text colour half-way to the background, readable in light and dark themes.
    QPalette palette = label->palette();
    const QColor fore = palette.color(QPalette::WindowText), back = palette.color(QPalette::Window);
    palette.setColor(QPalette::WindowText, QColor((fore.red() * 3 + back.red() * 2) / 5, (fore.green() * 3 + back.green() * 2) / 5,
                                                  (fore.blue() * 3 + back.blue() * 2) / 5));
    label->setPalette(palette);
    return label;
}

QWidget* makeFormPage(QVBoxLayout*& column) {
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget;
    column = new QVBoxLayout(content);
    column->setSpacing(12);
    scroll->setWidget(content);
    return scroll;
}

}  // namespace talkweft
