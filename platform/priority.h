#pragma once

#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

// The recorder's own work comes first: what the tool does in the background on
// the recordings' disk (the copy, the flush, the size count) runs at nice 10
// and in the lowest level of the best-effort I/O class. (The idle I/O class
// would wait for a disk that a recording keeps busy; see docs/performance.md.)
namespace Priority {

inline constexpr int kBackgroundNice = 10;
// IOPRIO_PRIO_VALUE(IOPRIO_CLASS_BE, 7), from <linux/ioprio.h>, which not
// every C library's headers carry.
inline constexpr int kBackgroundIo = (2 << 13) | 7;
inline constexpr int kIoprioWhoProcess = 1;

// Lowers the priorities of one thread (`tid`, or 0 for the calling one; a
// process's only thread after fork). Two plain system calls, so it is safe
// between fork and exec.
inline void lowerToBackground(pid_t tid = 0)
{
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kBackgroundNice);
    ::syscall(SYS_ioprio_set, kIoprioWhoProcess, tid, kBackgroundIo);
}

} // namespace Priority
