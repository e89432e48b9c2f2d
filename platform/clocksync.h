#pragma once

// Whether the recorder's clock is synchronised, as systemd-timedated reports
// it (NTPSynchronized: the kernel's clock discipline says it is in sync), for
// the export's record: the times of the recordings are only as good as it.
enum class ClockSync { Synchronised, NotSynchronised, Unknown };

// Asks `timedatectl show -p NTPSynchronized --value`, waiting at most
// `timeoutMs`. Unknown when timedatectl is missing, fails, hangs or prints
// anything but "yes" or "no" (without systemd as init it fails at once).
// Blocks for as long as timedatectl takes.
ClockSync clockSynchronisation(int timeoutMs = 2000);
