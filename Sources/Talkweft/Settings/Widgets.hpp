// Small building blocks of the settings tabs: the stepper, sections, footnotes and scrolling
// form pages.
#pragma once

#include <functional>

#include <QString>
#include <QWidget>

class QGroupBox;
class QLabel;
class QToolButton;
class QVBoxLayout;

namespace talkweft {

// A label showing a value and a pair of buttons ("−", "+") stepping it by `step` within
// [lower, upper]; a step that would leave the range stops at the bound, and a button is disabled
// at its bound. The label is `format` of the value.
class Stepper : public QWidget {
public:
    Stepper(double lower, double upper, double step, std::function<QString(double)> format, QWidget* parent = nullptr);

    // Shows `value` without reporting it.
    void setValue(double value);
    double value() const { return value_; }
    // Called with the new value after a click on a button.
    std::function<void(double)> onChange;

    QToolButton* decrementButton() const { return minus_; }
    QToolButton* incrementButton() const { return plus_; }
    QLabel* label() const { return label_; }

private:
    void stepBy(double delta);
    void redraw();

    double lower_, upper_, step_, value_;
    std::function<QString(double)> format_;
    QLabel* label_;
    QToolButton* minus_;
    QToolButton* plus_;
};

// A titled section (a group box with a form layout); `name` becomes its object name.
QGroupBox* makeSection(const QString& title, const QString& name);

// A footnote: caption-sized text in the secondary colour, wrapped.
QLabel* makeFootnote(const QString& text);

// A scrolling page whose content is a column of sections; returns the page and puts the column's
// layout in `column`.
QWidget* makeFormPage(QVBoxLayout*& column);

}  // namespace talkweft
