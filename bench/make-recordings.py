#!/usr/bin/python3
"""Writes a recordings tree shaped like a recorder's, for the benchmarks.

    make-recordings.py <tree> <channels> <folders> <files> <bytes> <days>

Creates <tree>/record/chCC/dFFF/NNN.mp4: <channels> camera folders, each with
<folders> folders of <files> recordings of <bytes> bytes. The modification
times are spread evenly over the last <days> days, the newest a minute before
now, as a recorder writes one recording after the other on every camera at
once: recording k of a camera (counted over its folders in order) is the
same age on every camera. With 16 x 60 x 100 over 60 days that is one
recording every 14.4 minutes a camera; with 16 x 625 x 100 over 90 days one
every 2 minutes.

Writes <tree>/shape last ("CxFxN B bytes D days"), so that an interrupted
run is not taken for a finished tree. Each file is created, written and
timed through its own descriptor (open, write, futimens, close).
"""

import os
import sys
import time


def main():
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    tree = sys.argv[1]
    channels, folders, files, size, days = (int(a) for a in sys.argv[2:7])
    per_channel = folders * files
    newest = int(time.time()) - 60
    step = days * 86400 / per_channel
    payload = b'x' * size
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    for channel in range(1, channels + 1):
        for folder in range(folders):
            directory = os.path.join(tree, 'record', 'ch%02d' % channel, 'd%03d' % folder)
            os.makedirs(directory)
            for n in range(files):
                k = folder * files + n
                mtime_ns = int((newest - (per_channel - 1 - k) * step) * 1e9)
                fd = os.open(os.path.join(directory, '%03d.mp4' % n), flags, 0o644)
                try:
                    if payload:
                        os.write(fd, payload)
                    os.utime(fd, ns=(mtime_ns, mtime_ns))
                finally:
                    os.close(fd)
    with open(os.path.join(tree, 'shape'), 'w') as f:
        f.write('%dx%dx%d %dB %dd\n' % (channels, folders, files, size, days))


if __name__ == '__main__':
    main()
