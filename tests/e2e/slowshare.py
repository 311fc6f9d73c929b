#!/usr/bin/python3
"""A pass-through FUSE file system that serves ROOT at MOUNT, as a share
that can stop answering or crawl. Each call reads CONTROL first:
  ok            every call answers at once;
  hang SECONDS  every read waits SECONDS before it answers, as a call to
                a server that has gone does. Only reads: Wine opens files in its server process and lists folders under
                one lock per process, so a hung open or listing would
                freeze every thread or program of the prefix, where
                Windows keeps the wait in the calling thread;
  crawl BYTES   reads move BYTES per second.
The monitor only reads and deletes there: nothing else is served.
Lines saying what hung, and reads past the first megabyte, go to LOG.
Usage: slowshare.py ROOT MOUNT CONTROL LOG"""
import errno
import os
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations

STAT_KEYS = ('st_atime', 'st_ctime', 'st_gid', 'st_mode', 'st_mtime', 'st_nlink', 'st_size', 'st_uid')
HANGING = ('read',)
STATFS_KEYS = ('f_bavail', 'f_bfree', 'f_blocks', 'f_bsize', 'f_favail', 'f_ffree', 'f_files', 'f_flag',
               'f_frsize', 'f_namemax')


class SlowShare(Operations):
    def __init__(self, root, control, log):
        self.root = root
        self.control = control
        self.log = open(log, 'a', buffering=1)
        self.link = threading.Lock()  # one read at a time: the kernel reads ahead in parallel

    def mode(self):
        try:
            with open(self.control) as f:
                words = f.read().split()
            return words[0], float(words[1])
        except (OSError, IndexError, ValueError):
            return 'ok', 0.0

    def delay(self, op, path, size=0):
        mode, value = self.mode()
        if mode == 'hang' and op in HANGING:
            self.log.write('hanging %s %s\n' % (op, path))
            time.sleep(value)
        elif mode == 'crawl' and size and value > 0:
            with self.link:
                time.sleep(size / value)

    def __call__(self, op, path, *args):
        if op not in ('init', 'destroy', 'read'):
            self.delay(op, path)
        try:
            return super().__call__(op, path, *args)
        except OSError as e:
            raise FuseOSError(e.errno or errno.EIO)

    def full(self, path):
        return os.path.join(self.root, path.lstrip('/'))

    def access(self, path, mode):
        if not os.access(self.full(path), mode):
            raise FuseOSError(errno.EACCES)

    def getattr(self, path, fh=None):
        st = os.lstat(self.full(path))
        return {k: getattr(st, k) for k in STAT_KEYS}

    def readdir(self, path, fh):
        return ['.', '..'] + os.listdir(self.full(path))

    def statfs(self, path):
        st = os.statvfs(self.full(path))
        return {k: getattr(st, k) for k in STATFS_KEYS}

    def unlink(self, path):
        os.unlink(self.full(path))

    def open(self, path, flags):
        return os.open(self.full(path), flags)

    def read(self, path, size, offset, fh):
        self.delay('read', path, size)
        if offset >= 1 << 20:
            self.log.write('read %s %d\n' % (path, offset))
        return os.pread(fh, size, offset)

    def release(self, path, fh):
        os.close(fh)


if __name__ == '__main__':
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    root, mount, control, log = sys.argv[1:]
    FUSE(SlowShare(os.path.realpath(root), control, log), mount, foreground=True, nothreads=False)
