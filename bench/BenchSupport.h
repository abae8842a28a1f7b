// Small helpers the benchmark programs share.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <vector>

namespace BenchSupport {

// The number an environment variable holds (KORVEL_BENCH_FILES=2000), or
// fallback when it is unset or empty.
inline int countFrom(const char* variable, int fallback)
{
    const QByteArray value = qgetenv(variable);
    return value.isEmpty() ? fallback : value.toInt();
}

// The middle value (the upper one of an even count): rounds on a shared
// machine keep their outliers out of the figure.
inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace BenchSupport
