#!/usr/bin/python3
"""One whole export by the real program, started as the device hook starts it.

    real_export.py <corvalet> <device> <log file>

<device> is the kernel name of a fresh drive ("loop3"). Needs DISPLAY naming
an X server without a window manager, xdotool, and a PATH on which "xset" is
a fake that returns at once (bench/run-all.sh provides all three).

"corvalet <device> add" is started with its own start-up settings (nothing
set in its environment but the display and the Qt platform). Once its window
is up, Return is pressed (the start button holds the focus once the drive is
ready), and /proc/<pid> is read every 20 ms until the log says the copy
succeeded, and on until the stick has been read back. Then the box of the
finished export is closed and the program is ended with SIGTERM, which
unmounts the drive.

Prints "key value" lines: wall_ms (from the key press to the moment the
success line was seen in the log, so up to 20 ms late), self_cpu_ms (the
program's user and system time in that span), child_cpu_ms (that of the
children it waited for in that span: rsync, whose own helpers it waits for,
and "sync -f"), vmhwm_kib (the program's peak resident size, VmHWM, read
after the copy's success), vmrss_max_kib (the largest VmRSS seen while
copying), verify_ms (from the copy's success to the end of the read-back),
vmhwm_verified_kib (VmHWM once the stick is read back, the whole export's).
"""

import os
import signal
import subprocess
import sys
import time

TITLE = 'U盘导出视频工具'
TICK_MS = 1000.0 / os.sysconf('SC_CLK_TCK')


def cpu(pid):
    """(own, waited-for children) CPU time in ms, from /proc/<pid>/stat."""
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    # fields[0] is the state (field 3); utime..cstime are fields 14..17.
    utime, stime, cutime, cstime = (int(v) for v in fields[11:15])
    return (utime + stime) * TICK_MS, (cutime + cstime) * TICK_MS


def status(pid, key):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith(key + ':'):
                return int(line.split()[1])
    return 0


def log_has(log, *texts):
    with open(log, encoding='utf-8', errors='replace') as f:
        content = f.read()
    return any(t in content for t in texts)


def xdotool(*args, timeout=30):
    return subprocess.run(['xdotool', *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=timeout).returncode == 0


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    binary, device, log = sys.argv[1:]
    env = dict(os.environ, QT_QPA_PLATFORM='xcb')
    env.pop('QT_XCB_GL_INTEGRATION', None)  # the program's own choice
    open(log, 'w').close()
    with open(log, 'ab') as out:
        process = subprocess.Popen([binary, device, 'add'], stdout=out, stderr=subprocess.STDOUT, env=env)
    pid = process.pid
    try:
        if not xdotool('search', '--sync', '--name', '^%s$' % TITLE, timeout=60):
            sys.exit('real_export.py: the window never appeared; see ' + log)
        deadline = time.monotonic() + 30
        while not log_has(log, '设备挂载成功'):
            if time.monotonic() > deadline or process.poll() is not None:
                sys.exit('real_export.py: the drive was not mounted; see ' + log)
            time.sleep(0.05)
        time.sleep(0.3)  # the window's first paint
        self_before, children_before = cpu(pid)
        start = time.monotonic()
        xdotool('search', '--name', '^%s$' % TITLE, 'windowfocus', '--sync', 'key', 'Return')
        rss_max = 0
        deadline = start + 30 * 60
        while True:
            rss_max = max(rss_max, status(pid, 'VmRSS'))
            if log_has(log, '同步成功完成'):
                break
            if log_has(log, '同步进程失败', '同步进程崩溃') or process.poll() is not None:
                sys.exit('real_export.py: the export failed; see ' + log)
            if time.monotonic() > deadline:
                sys.exit('real_export.py: the export did not end; see ' + log)
            time.sleep(0.02)
        copied = time.monotonic()
        wall = (copied - start) * 1000
        self_after, children_after = cpu(pid)
        hwm = status(pid, 'VmHWM')
        # The read-back from the stick follows; its end is logged, or, with
        # the verification switched off, the box comes at once.
        while not log_has(log, '校验:'):
            if process.poll() is not None or time.monotonic() > deadline:
                sys.exit('real_export.py: the read-back did not end; see ' + log)
            if xdotool('search', '--name', '^完成$'):
                break
            time.sleep(0.1)
        verify = (time.monotonic() - copied) * 1000
        time.sleep(0.5)
        hwm_verified = status(pid, 'VmHWM')
        xdotool('search', '--name', '^完成$', 'windowfocus', '--sync', 'key', 'Return', timeout=60)
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
    print('wall_ms %.1f' % wall)
    print('self_cpu_ms %.1f' % (self_after - self_before))
    print('child_cpu_ms %.1f' % (children_after - children_before))
    print('vmhwm_kib %d' % hwm)
    print('vmrss_max_kib %d' % rss_max)
    print('verify_ms %.1f' % verify)
    print('vmhwm_verified_kib %d' % hwm_verified)


if __name__ == '__main__':
    main()
