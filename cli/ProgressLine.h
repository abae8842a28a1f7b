// The live progress line that korvelcrypt-cli keeps redrawing on a terminal's
// standard error: tasks done of total, bytes done of total, throughput and the
// estimated time left.
#pragma once

#include <QString>

namespace ProgressLine {
// 512 B, 1.5 KiB, 20.0 MiB, 1.00 GiB: binary units, three significant digits.
QString formatBytes(double bytes);
// m:ss below an hour, h:mm:ss above; "--:--" when unknown (negative or not finite).
QString formatDuration(double seconds);

// The line's text, without the carriage return that redraws it. Throughput and
// time left are shown once some bytes are done and some time has passed.
QString text(int tasksDone, int tasksTotal, double bytesDone, double bytesTotal, double elapsedSeconds);
} // namespace ProgressLine
