#include "platform/clocksync.h"

#include "platform/command.h"

ClockSync clockSynchronisation(int timeoutMs)
{
    const Command timedatectl(QStringLiteral("timedatectl"),
                              {QStringLiteral("show"), QStringLiteral("-p"), QStringLiteral("NTPSynchronized"),
                               QStringLiteral("--value")},
                              timeoutMs);
    if (!timedatectl.succeeded())
        return ClockSync::Unknown;
    const QByteArray value = timedatectl.standardOutput().trimmed();
    if (value == "yes")
        return ClockSync::Synchronised;
    if (value == "no")
        return ClockSync::NotSynchronised;
    return ClockSync::Unknown;
}
