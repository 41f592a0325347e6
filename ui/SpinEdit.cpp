#include "ui/SpinEdit.h"

#include <QLineEdit>

#include <climits>

TSpinEdit::TSpinEdit(QWidget* Parent) : QAbstractSpinBox(Parent) {
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    setAccelerated(true);
    lineEdit()->setText(QStringLiteral("0"));
}

void TSpinEdit::SetBounds(int Min, int Max) {
    FMinValue = Min;
    FMaxValue = Max;
    SetValue(Value());
}

int TSpinEdit::Clamp(long long Value) const {
    if (Bounded()) {
        if (Value < FMinValue)
            return FMinValue;
        if (Value > FMaxValue)
            return FMaxValue;
    }
    if (Value < INT_MIN)
        return INT_MIN;
    if (Value > INT_MAX)
        return INT_MAX;
    return static_cast<int>(Value);
}

int TSpinEdit::Value() const {
    bool ok = false;
    const long long value = text().trimmed().toLongLong(&ok);
    // Not an integer, or beyond any integer: the minimum.
    if (!ok || value < INT_MIN || value > INT_MAX)
        return FMinValue;
    return Bounded() ? Clamp(value) : static_cast<int>(value);
}

void TSpinEdit::SetValue(int Value) {
    const QString text = QString::number(Clamp(Value));
    if (lineEdit()->text() != text)
        lineEdit()->setText(text);
}

void TSpinEdit::SetText(const QString& Text) {
    lineEdit()->setText(Text);
}

void TSpinEdit::stepBy(int Steps) {
    SetValue(Clamp(static_cast<long long>(Value()) + Steps));
}

QValidator::State TSpinEdit::validate(QString&, int&) const {
    // Anything may be typed; what it stands for is decided on reading.
    return QValidator::Acceptable;
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
    if (!Bounded())
        return StepUpEnabled | StepDownEnabled;
    StepEnabled enabled = StepNone;
    const int value = Value();
    if (value < FMaxValue)
        enabled |= StepUpEnabled;
    if (value > FMinValue)
        enabled |= StepDownEnabled;
    return enabled;
}

void TSpinEdit::focusOutEvent(QFocusEvent* Event) {
    QAbstractSpinBox::focusOutEvent(Event);
    SetValue(Value());
}
