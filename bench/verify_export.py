#!/usr/bin/python3
"""One whole export with its verification by the real program, as the device
hook starts it, watched from outside.

    verify_export.py <corvalet> <stick> <recordings disk> <log file>

<stick> and <recordings disk> are kernel names of block devices ("loop3"):
the fresh stick the tool mounts itself, and the disk that holds the
recordings. Needs DISPLAY naming an X server without a window manager and a
PATH on which "xset" is a fake that returns at once (bench/verify.sh provides
both).

"corvalet <stick> add" is started with its own start-up settings; only
QT_MESSAGE_PATTERN is set, so that every log line carries the time since the
program started. Once the count of the recordings is logged, Return is
pressed in the window by XTEST, as tests/tst_session.cpp does (the start
button holds the focus). Then, every 20 ms, the log is read, and every
100 ms one row of the window's progress bar is fetched with GetImage: the
right end of its filled stretch against the groove's borders is the percentage
the person sees (the bar is drawn from the same value as "正在复制... N%").
When the box of the finished export opens, the program's counters are read
at once, Return closes the box and SIGTERM ends the program, which unmounts
the stick.

Prints "key value" lines. From the program's own log times (seconds since it
started): copy_ms (开始同步 to 同步成功完成: rsync and the flush), flush_ms
(正在写入U盘缓存 to 同步成功完成), remount_ms (同步成功完成 to U盘已只读重新挂载),
verify_ms (U盘已只读重新挂载 to 校验:). From this script's clock:
record_ms (校验: seen to the box seen), total_ms (the key press to the box).
From the window: copy_samples, copy_at99_samples (samples of the copy phase
with the bar at 99 % or more), copy_at99_ms (from the first such sample to
the end of the copy phase), copy_first99_ms (from the start of the copy phase
to that sample), verify_samples, verify_zero_ms (from the start of the
verification to the first sample with the bar moved). From /proc/<pid>
between the key press and the box: self_cpu_ms (the program, all its
threads), child_cpu_ms (the children it reaped), rsync_cpu_ms (the children
reaped between the key press and 同步成功完成 seen: rsync with its helpers and
"sync -f"), read_bytes (/proc/<pid>/io, which holds the reaped children
too), vmhwm_kib; copy_self_cpu_ms (the program between the key press and
同步成功完成 seen), main_cpu_ms and copy_main_cpu_ms (its main thread, the
window's), threads_cpu_ms (every other thread that used CPU, each also on a
line "thread <tid> <first seen s> <last seen s> <CPU ms> <phase>", looked at
every 100 ms: a thread's last 100 ms before it ended are not counted), and
copy_, verify_ and both_threads_cpu_ms (those threads by the phase they
lived in). copy_max_fill: the fullest the bar was seen in the copy phase. From /sys/block/<dev>/stat over the same span:
stick_read_bytes, stick_written_bytes, disk_read_bytes. And verified_files,
mismatched_files from the 校验: line. With VERIFY_SAMPLES naming a file, every
sample of the bar goes there: seconds since the key press, the filled
fraction, the phase.
"""

import os
import signal
import subprocess
import sys
import time

from Xlib import X, XK, display
from Xlib.ext import xtest

TITLE = 'U盘导出视频工具'
BOX_TITLE = '完成'
TICK_MS = 1000.0 / os.sysconf('SC_CLK_TCK')
POLL_S = 0.02
SAMPLE_S = 0.1
# The bar's value is an integer percentage: 99 % fills 99 % of the groove,
# 98 % fills 98 %; the threshold lies between them.
AT_99 = 0.985


def fail(message, log):
    sys.exit('verify_export.py: %s; see %s' % (message, log))


def cpu(pid):
    """(own, reaped children) CPU time in ms, from /proc/<pid>/stat."""
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    utime, stime, cutime, cstime = (int(v) for v in fields[11:15])
    return (utime + stime) * TICK_MS, (cutime + cstime) * TICK_MS


def threads(pid):
    """{tid: CPU time in ms} of every thread the program has now."""
    result = {}
    try:
        tids = os.listdir('/proc/%d/task' % pid)
    except OSError:
        return result
    for tid in tids:
        try:
            with open('/proc/%d/task/%s/stat' % (pid, tid)) as f:
                fields = f.read().rsplit(')', 1)[1].split()
        except OSError:
            continue  # ended meanwhile
        result[int(tid)] = (int(fields[11]) + int(fields[12])) * TICK_MS
    return result


def read_bytes(pid):
    with open('/proc/%d/io' % pid) as f:
        for line in f:
            if line.startswith('read_bytes:'):
                return int(line.split()[1])
    return 0


def status(pid, key):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith(key + ':'):
                return int(line.split()[1])
    return 0


def block_io(device):
    """(bytes read, bytes written) of a block device, from its sysfs stat."""
    with open('/sys/block/%s/stat' % device) as f:
        fields = f.read().split()
    return int(fields[2]) * 512, int(fields[6]) * 512


class Log:
    """The program's log, read as it grows; each line once, with the time
    this script first saw it and the time the program wrote into it."""

    def __init__(self, path):
        self.file = open(path, 'rb')
        self.rest = b''
        self.seen = {}   # marker -> (script time, program time, line)

    def poll(self, markers):
        chunk = self.file.read()
        if not chunk:
            return
        now = time.monotonic()
        lines = (self.rest + chunk).split(b'\n')
        self.rest = lines.pop()
        for raw in lines:
            line = raw.decode('utf-8', 'replace')
            for marker in markers:
                if marker in line and marker not in self.seen:
                    try:
                        at = float(line.split(None, 1)[0])
                    except (ValueError, IndexError):
                        at = float('nan')
                    self.seen[marker] = (now, at, line)

    def has(self, marker):
        return marker in self.seen


class Window:
    """The tool's window and one row of its progress bar."""

    def __init__(self):
        self.d = display.Display()
        self.net_wm_name = self.d.intern_atom('_NET_WM_NAME')
        self.utf8 = self.d.intern_atom('UTF8_STRING')
        self.window = None
        self.row = None  # (y, left border x, right border x)

    def title(self, w):
        try:
            p = w.get_full_property(self.net_wm_name, self.utf8)
        except Exception:  # a window that went away meanwhile
            return ''
        if not p:
            return ''
        return p.value.decode() if isinstance(p.value, bytes) else p.value

    def find(self, title):
        for w in self.d.screen().root.query_tree().children:
            try:
                if w.get_attributes().map_state == X.IsViewable and self.title(w) == title:
                    return w
            except Exception:
                continue
        return None

    def press_return(self, w):
        w.set_input_focus(X.RevertToParent, X.CurrentTime)
        code = self.d.keysym_to_keycode(XK.string_to_keysym('Return'))
        xtest.fake_input(self.d, X.KeyPress, code)
        xtest.fake_input(self.d, X.KeyRelease, code)
        self.d.sync()

    def _pixels(self, x, y, width, height):
        g = self.window.get_geometry()
        width = min(width, g.width - x)
        image = self.window.get_image(x, y, width, height, X.ZPixmap, 0xffffffff)
        return image.data, width  # 4 bytes a pixel: blue, green, red, unused

    def calibrate(self):
        """Finds the groove of the progress bar: the row with the longest run
        of white between two borders, its top-most such row plus two, clear
        of the percentage drawn in its middle."""
        g = self.window.get_geometry()
        data, width = self._pixels(0, 0, g.width, g.height)
        best = []
        for y in range(g.height):
            run_start, longest = None, (0, 0, 0)
            for x in range(width):
                i = (y * width + x) * 4
                white = data[i] == 255 and data[i + 1] == 255 and data[i + 2] == 255
                if white and run_start is None:
                    run_start = x
                if (not white or x == width - 1) and run_start is not None:
                    end = x if not white else x + 1
                    if end - run_start > longest[0]:
                        longest = (end - run_start, run_start, end)
                    run_start = None
            best.append(longest)
        widest = max(b[0] for b in best)
        if widest < g.width // 2:
            return False
        for y, (length, start, end) in enumerate(best):
            if length >= widest * 0.9:
                self.row = (y + 2, start - 1, end)
                return True
        return False

    def fill(self):
        """The bar's filled fraction, 0 to 1; None when no bar is found."""
        if self.row is None and not self.calibrate():
            return None
        y, left, right = self.row
        data, width = self._pixels(0, y, right + 1, 1)
        if right >= width:
            self.row = None
            return None
        filled = left
        for x in range(left + 1, right):
            b, g, r = data[4 * x], data[4 * x + 1], data[4 * x + 2]
            if b > r + 60:
                filled = x
        return (filled - left) / float(right - left)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    binary, stick, disk, log_path = sys.argv[1:]
    env = dict(os.environ, QT_QPA_PLATFORM='xcb', QT_MESSAGE_PATTERN='%{time process} %{type} %{message}')
    env.pop('QT_XCB_GL_INTEGRATION', None)  # the program's own choice
    open(log_path, 'w').close()
    with open(log_path, 'ab') as out:
        process = subprocess.Popen([binary, stick, 'add'], stdout=out, stderr=subprocess.STDOUT, env=env)
    pid = process.pid
    log = Log(log_path)
    markers = ['设备挂载成功', '源目录:', '开始同步', '正在写入U盘缓存', '同步成功完成', 'U盘已只读重新挂载:',
               '校验:', '同步进程失败', '同步进程崩溃', '重新挂载失败']
    window = Window()
    samples = []  # (script time, fill)
    try:
        deadline = time.monotonic() + 60
        while not (log.has('设备挂载成功') and log.has('源目录:')):
            log.poll(markers)
            if window.window is None:
                window.window = window.find(TITLE)
            if time.monotonic() > deadline or process.poll() is not None:
                fail('the drive was not mounted or the count did not end', log_path)
            time.sleep(0.05)
        while window.window is None:
            window.window = window.find(TITLE)
            if time.monotonic() > deadline:
                fail('the window never appeared', log_path)
            time.sleep(0.05)
        time.sleep(0.5)  # the window's paint of the count
        window.calibrate()
        self_before, children_before = cpu(pid)
        threads_before = threads(pid)
        # Per thread: (CPU at the last look, seconds after the key press when first and last seen).
        seen_threads = {}
        io_before = read_bytes(pid)
        stick_before, disk_before = block_io(stick), block_io(disk)
        start = time.monotonic()
        window.press_return(window.window)
        rsync_cpu = None
        copy_self_cpu = 0
        copy_threads = {}
        next_sample = start
        deadline = start + 30 * 60
        box = None
        while box is None:
            log.poll(markers)
            if rsync_cpu is None and log.has('同步成功完成'):
                own, reaped = cpu(pid)
                rsync_cpu = reaped - children_before
                copy_self_cpu = own - self_before
                copy_threads = threads(pid)
            for bad in ('同步进程失败', '同步进程崩溃', '重新挂载失败'):
                if log.has(bad):
                    fail('the export failed', log_path)
            if process.poll() is not None:
                fail('the program ended', log_path)
            if time.monotonic() > deadline:
                fail('the export did not end', log_path)
            now = time.monotonic()
            if now >= next_sample:
                next_sample = now + SAMPLE_S
                if log.has('校验:'):
                    box = window.find(BOX_TITLE)
                    if box is not None:
                        break
                for tid, ms in threads(pid).items():
                    first = seen_threads[tid][1] if tid in seen_threads else now - start
                    seen_threads[tid] = (ms, first, now - start)
                value = window.fill()
                if value is not None:
                    samples.append((now, value))
            time.sleep(POLL_S)
        seen_box = time.monotonic()
        self_after, children_after = cpu(pid)
        for tid, ms in threads(pid).items():
            first = seen_threads[tid][1] if tid in seen_threads else seen_box - start
            seen_threads[tid] = (ms, first, seen_box - start)
        io_after = read_bytes(pid)
        stick_after, disk_after = block_io(stick), block_io(disk)
        hwm = status(pid, 'VmHWM')
        time.sleep(0.3)
        window.press_return(box)
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(60)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def at(marker):
        return log.seen[marker][1] * 1000

    def seen(marker):
        return log.seen[marker][0]

    copy_from, copy_to = seen('开始同步'), seen('同步成功完成')
    verify_from = seen('U盘已只读重新挂载:')
    copy = [(t, v) for t, v in samples if copy_from <= t <= copy_to]
    at99 = [t for t, v in copy if v >= AT_99]
    verify = [(t, v) for t, v in samples if t >= verify_from]
    moved = [t for t, v in verify if v > 0]
    if os.environ.get('VERIFY_SAMPLES'):
        # Every sample with the phase it fell in, for a look at the bar's course.
        with open(os.environ['VERIFY_SAMPLES'], 'w') as f:
            for t, v in samples:
                phase = 'verify' if t >= verify_from else 'copy' if copy_from <= t <= copy_to else 'other'
                f.write('%.3f %.4f %s\n' % (t - start, v, phase))
    counts = log.seen['校验:'][2].split('校验:', 1)[1].replace(',', ' ').split()
    print('copy_ms %.1f' % (at('同步成功完成') - at('开始同步')))
    print('flush_ms %.1f' % (at('同步成功完成') - at('正在写入U盘缓存')))
    print('remount_ms %.1f' % (at('U盘已只读重新挂载:') - at('同步成功完成')))
    print('verify_ms %.1f' % (at('校验:') - at('U盘已只读重新挂载:')))
    print('record_ms %.1f' % ((seen_box - seen('校验:')) * 1000))
    print('total_ms %.1f' % ((seen_box - start) * 1000))
    print('copy_samples %d' % len(copy))
    print('copy_at99_samples %d' % len(at99))
    print('copy_max_fill %.4f' % max([v for t, v in copy] or [0]))
    print('copy_at99_ms %.1f' % ((copy_to - at99[0]) * 1000 if at99 else 0))
    print('copy_first99_ms %.1f' % ((at99[0] - copy_from) * 1000 if at99 else -1))
    print('verify_samples %d' % len(verify))
    print('verify_zero_ms %.1f' % ((moved[0] - verify_from) * 1000 if moved else -1))
    print('self_cpu_ms %.1f' % (self_after - self_before))
    print('child_cpu_ms %.1f' % (children_after - children_before))
    print('rsync_cpu_ms %.1f' % (rsync_cpu if rsync_cpu is not None else -1))
    main_cpu = seen_threads.get(pid, (0, 0, 0))[0] - threads_before.get(pid, 0)
    print('copy_self_cpu_ms %.1f' % copy_self_cpu)
    print('copy_main_cpu_ms %.1f' % (copy_threads.get(pid, 0) - threads_before.get(pid, 0)))
    print('main_cpu_ms %.1f' % main_cpu)
    # The other threads by the phase they lived in: the copy's (the hasher,
    # the writeback), the verification's (the reading back), or both.
    boundary = copy_to - start
    others = {'copy': 0, 'verify': 0, 'both': 0}
    for tid, (ms, first, last) in sorted(seen_threads.items(), key=lambda item: item[1][1]):
        used = ms - threads_before.get(tid, 0)
        if tid == pid or used <= 0:
            continue
        phase = 'copy' if last <= boundary + 0.2 else 'verify' if first >= boundary - 0.2 else 'both'
        others[phase] += used
        print('thread %d %.1f %.1f %.1f %s' % (tid, first, last, used, phase))
    print('threads_cpu_ms %.1f' % sum(others.values()))
    for phase, used in others.items():
        print('%s_threads_cpu_ms %.1f' % (phase, used))
    print('read_bytes %d' % (io_after - io_before))
    print('stick_read_bytes %d' % (stick_after[0] - stick_before[0]))
    print('stick_written_bytes %d' % (stick_after[1] - stick_before[1]))
    print('disk_read_bytes %d' % (disk_after[0] - disk_before[0]))
    print('vmhwm_kib %d' % hwm)
    print('verified_files %s' % counts[0])
    print('mismatched_files %s' % counts[2])


if __name__ == '__main__':
    main()
