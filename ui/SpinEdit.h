#pragma once
// An integer field with up and down arrows that takes any text while it is
// typed: text that is not an integer reads as the minimum, and a bounded
// field clamps its value whenever a value is set and when it loses the
// focus. With both bounds 0 the field has no bounds.

#include <QAbstractSpinBox>

class TSpinEdit : public QAbstractSpinBox {
    Q_OBJECT
public:
    explicit TSpinEdit(QWidget* Parent = nullptr);

    int MinValue() const { return FMinValue; }
    int MaxValue() const { return FMaxValue; }
    void SetBounds(int Min, int Max);
    bool Bounded() const { return FMinValue != 0 || FMaxValue != 0; }

    // The value the text stands for.
    int Value() const;
    void SetValue(int Value);
    // Puts text in the field as typing would; it is read on demand.
    void SetText(const QString& Text);

    void stepBy(int Steps) override;
    QValidator::State validate(QString& Input, int& Pos) const override;

protected:
    StepEnabled stepEnabled() const override;
    void focusOutEvent(QFocusEvent* Event) override;

private:
    int Clamp(long long Value) const;
    int FMinValue = 0;
    int FMaxValue = 0;
};
