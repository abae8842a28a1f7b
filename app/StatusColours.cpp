#include "app/StatusColours.h"

#include "engine/Task.h"

#include <algorithm>
#include <cmath>

namespace {

double linear(double channel)
{
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

QColor blend(const QColor& from, const QColor& to, double share)
{
    return QColor::fromRgbF(float(from.redF() + (to.redF() - from.redF()) * share),
        float(from.greenF() + (to.greenF() - from.greenF()) * share),
        float(from.blueF() + (to.blueF() - from.blueF()) * share));
}

} // namespace

double StatusColours::luminance(const QColor& colour)
{
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

double StatusColours::contrast(const QColor& a, const QColor& b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor StatusColours::forStatus(int status, const QPalette& palette)
{
    const QColor text = palette.color(QPalette::Active, QPalette::Text);
    QColor named;
    switch (status) {
    case Task::FINISHED:
        named = QColor(QStringLiteral("green"));
        break;
    case Task::DECRYPTING:
        named = QColor(QStringLiteral("blue"));
        break;
    case Task::FAILED:
        named = QColor(QStringLiteral("red"));
        break;
    default:
        return text;
    }
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    if (contrast(named, base) >= MinContrast) {
        return named;
    }
    for (int step = 1; step < 20; ++step) {
        const QColor blended = blend(named, text, step / 20.0);
        if (contrast(blended, base) >= ReadableContrast) {
            return blended;
        }
    }
    return text;
}
