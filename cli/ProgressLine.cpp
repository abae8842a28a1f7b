#include "cli/ProgressLine.h"

#include <cmath>

QString ProgressLine::formatBytes(double bytes)
{
    static const char* const units[] = { "KiB", "MiB", "GiB", "TiB", "PiB" };
    if (!(bytes >= 1024.0))
        return QStringLiteral("%1 B").arg(bytes > 0 ? static_cast<qint64>(bytes) : 0);
    double value = bytes / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    const int decimals = value >= 100.0 ? 0 : (value >= 10.0 ? 1 : 2);
    return QStringLiteral("%1 %2").arg(value, 0, 'f', decimals).arg(QLatin1String(units[unit]));
}

QString ProgressLine::formatDuration(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 359999999.0)
        return QStringLiteral("--:--");
    const qint64 total = static_cast<qint64>(std::ceil(seconds));
    const qint64 h = total / 3600;
    const qint64 m = (total / 60) % 60;
    const qint64 s = total % 60;
    if (h > 0)
        return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

QString ProgressLine::text(int tasksDone, int tasksTotal, double bytesDone, double bytesTotal, double elapsedSeconds)
{
    QString line = QStringLiteral("%1/%2 files  %3 / %4")
                       .arg(tasksDone)
                       .arg(tasksTotal)
                       .arg(formatBytes(bytesDone), formatBytes(bytesTotal));
    if (bytesDone > 0 && elapsedSeconds > 0) {
        const double rate = bytesDone / elapsedSeconds;
        const double left = bytesTotal > bytesDone ? (bytesTotal - bytesDone) / rate : 0.0;
        line += QStringLiteral("  %1/s  ETA %2").arg(formatBytes(rate), formatDuration(left));
    } else {
        line += QStringLiteral("  ETA --:--");
    }
    return line;
}
