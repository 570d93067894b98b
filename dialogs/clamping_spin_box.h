// A whole-number field that lets the user type any digits and brings the value into its range
// when editing ends; an empty text reads as the field's minimum.
#pragma once

#include <QLineEdit>
#include <QSpinBox>

#include <algorithm>

namespace zrq {

class ClampingSpinBox : public QSpinBox {
public:
    ClampingSpinBox(int minimum, int maximum, QWidget* parent = nullptr) : QSpinBox(parent) {
        setRange(minimum, maximum);
        setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
        lineEdit()->setMaxLength(kMaxTypedDigits);
    }

protected:
    // Digits only; a number outside the range is accepted for now and clamped at the end.
    QValidator::State validate(QString& text, int& /*pos*/) const override {
        if (text.isEmpty()) return QValidator::Intermediate;
        for (QChar c : text) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) return QValidator::Invalid;
        }
        int value = text.toInt();
        bool inRange = value >= minimum() && value <= maximum();
        return inRange ? QValidator::Acceptable : QValidator::Intermediate;
    }
    void fixup(QString& text) const override { text = QString::number(clampedValue(text)); }
    int valueFromText(const QString& text) const override { return clampedValue(text); }

private:
    // Enough for any range here; keeps the typed number far from overflowing.
    static constexpr int kMaxTypedDigits = 9;

    int clampedValue(const QString& text) const {
        bool ok = false;
        qlonglong value = text.toLongLong(&ok);
        if (!ok) return minimum();
        return static_cast<int>(std::clamp<qlonglong>(value, minimum(), maximum()));
    }
};

}  // namespace zrq
