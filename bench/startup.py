#!/usr/bin/python3
"""Times the tool's start-up against a bare mount and unmount of the same drive.

    startup.py <corvalet> <device> <mount point> <runs> <log file>

<device> is the kernel name ("loop3"), as the device hook passes it.

Needs DISPLAY naming an X server without a window manager (bench/run-all.sh
starts an Xvfb) and a PATH on which "xset" is a fake that returns at once.

The tool: from just before "corvalet <device> add" is started until its window
is mapped on the screen. The window is shown once the device event has been
handled, so by then the drive is mounted (the recordings are counted after
that, in the background); the log is checked for "设备挂载成功" to make sure. The tool is then ended with
SIGTERM, which unmounts the drive.

The reference: "mount <device> <mount point>" then "umount <mount point>", as
two processes started and waited for the same way.

The two alternate, `runs` rounds each; prints "tool_ms" and "reference_ms",
each followed by every run's time in milliseconds.
"""

import os
import select
import signal
import subprocess
import sys
import time

from Xlib import X, display

TITLE = 'U盘导出视频工具'


def title(window):
    try:
        prop = window.get_full_property(display_.intern_atom('_NET_WM_NAME'),
                                        display_.intern_atom('UTF8_STRING'))
        if prop and isinstance(prop.value, bytes):
            return prop.value.decode('utf-8', 'replace')
        name = window.get_wm_name()
        return name if isinstance(name, str) else ''
    except Exception:  # the window may be gone already
        return ''


def wait_for_map(deadline):
    """Returns the moment the tool's window was mapped, None at the deadline."""
    while time.monotonic() < deadline:
        if not display_.pending_events():
            select.select([display_.fileno()], [], [], 0.05)
            if not display_.pending_events():
                continue
        event = display_.next_event()
        if event.type == X.MapNotify:
            mapped = time.monotonic()
            if title(event.window) == TITLE:
                return mapped
    return None


def run_tool(binary, device, log):
    with open(log, 'ab') as out:
        start = time.monotonic()
        process = subprocess.Popen([binary, device, 'add'], stdout=out, stderr=subprocess.STDOUT,
                                   env=dict(os.environ, QT_QPA_PLATFORM='xcb'))
        mapped = wait_for_map(start + 60)
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            sys.exit('startup.py: the tool did not end on SIGTERM; see ' + log)
    if mapped is None:
        sys.exit('startup.py: the window never appeared; see ' + log)
    return (mapped - start) * 1000


def run_reference(device, mount_point):
    start = time.monotonic()
    subprocess.run(['mount', device, mount_point], check=True)
    subprocess.run(['umount', mount_point], check=True)
    return (time.monotonic() - start) * 1000


def main():
    global display_
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    binary, device, mount_point, runs, log = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
    display_ = display.Display()
    display_.screen().root.change_attributes(event_mask=X.SubstructureNotifyMask)
    display_.sync()
    os.makedirs(mount_point, exist_ok=True)
    tool, reference = [], []
    for _ in range(runs):
        tool.append(run_tool(binary, device, log))
        if subprocess.run(['findmnt', '-n', mount_point], stdout=subprocess.DEVNULL).returncode == 0:
            sys.exit('startup.py: the tool left the drive mounted; see ' + log)
        reference.append(run_reference('/dev/' + device, mount_point))
    with open(log, encoding='utf-8', errors='replace') as f:
        mounted = f.read().count('设备挂载成功')
    if mounted != runs:
        sys.exit('startup.py: the drive was mounted in %d of %d runs; see %s' % (mounted, runs, log))
    print('tool_ms', *('%.1f' % t for t in tool))
    print('reference_ms', *('%.1f' % t for t in reference))


display_ = None
if __name__ == '__main__':
    main()
