#!/usr/bin/env python3
"""FTP server on 127.0.0.1 for the transfer tests: ftpserver.py ROOT USER PASSWORD

USER logs in to ROOT/home with PASSWORD, and "anonymous" (any password) to ROOT/anon; both may
write there. ROOT/home/readonly may only be read; in ROOT/home/droponly files may be written but not
renamed or deleted. A file written into a folder named "full" fails as a full disk does; in a
folder named "norename" a rename onto an existing file is refused; in one named "cut" the
connection is lost once 64 KiB of a file have come, in one named "cutend" once all of it has come
(before the reply that it is complete); in one named "short" only the first 64 KiB of a file are
kept, the rest is dropped and the upload is still reported complete; in one named "late" the
upload is reported complete when the first 64 KiB are written, and the rest follows within about a
second; in one named "long" a byte more than came is kept; in one named "slow" each piece of a
file written takes a quarter of a second. Prints the port on standard output once
listening, and serves until its standard input closes (the test ends) or it is killed. --help (or
no argument) prints the usage.
"""
import errno
import logging
import os
import socket
import sys
import threading
import time
import warnings

if __name__ == "__main__" and (len(sys.argv) == 1 or sys.argv[1:] == ["--help"]):
    print("usage: ftpserver.py ROOT USER PASSWORD")
    sys.exit(0)

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import ActiveDTP, FTPHandler
from pyftpdlib.servers import FTPServer


class WrappedFile:
    """A file opened for writing whose writes a subclass changes; the rest goes to the file."""

    def __init__(self, inner):
        self._inner = inner
        self.name = inner.name
        self.closed = False

    def close(self):
        self.closed = True
        self._inner.close()

    def __getattr__(self, name):
        return getattr(self._inner, name)


class FullFile(WrappedFile):
    """A file opened for writing on a full disk: every write fails."""

    def write(self, data):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))


class CutFile(WrappedFile):
    """A file written over a line that goes down once 64 KiB have come: the session is dropped
    (control and data connection), no reply."""

    def __init__(self, inner, cmd_channel):
        super().__init__(inner)
        self._cmd_channel = cmd_channel
        self._written = 0

    def write(self, data):
        if self._written >= 65536:
            self._cmd_channel.close()
            raise OSError(errno.ECONNRESET, os.strerror(errno.ECONNRESET))
        self._written += len(data)
        return self._inner.write(data)


class CutAtEndFile(WrappedFile):
    """A file written over a line that goes down once the whole file has come: the server keeps
    it, but the session is dropped before the reply that the upload is complete."""

    def __init__(self, inner, cmd_channel):
        super().__init__(inner)
        self._cmd_channel = cmd_channel

    def close(self):
        super().close()
        # At once: a close of the channel waits for its data connection, which is closing now.
        try:
            self._cmd_channel.socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._cmd_channel.close()


class ShortFile(WrappedFile):
    """A file on a server that loses its end: the first 64 KiB are kept, the rest is taken and
    dropped, and the upload is reported complete all the same."""

    def __init__(self, inner):
        super().__init__(inner)
        self._written = 0

    def write(self, data):
        keep = data[: max(0, 65536 - self._written)]
        self._written += len(data)
        self._inner.write(keep)
        return len(data)


class LateFile(WrappedFile):
    """A file on a server that reports an upload complete before its own write has ended: the
    first 64 KiB are written as they come, the rest once the upload has been answered, a piece at
    a time."""

    def __init__(self, inner):
        super().__init__(inner)
        self._written = 0
        self._held = bytearray()

    def write(self, data):
        keep = data[: max(0, 65536 - self._written)]
        self._written += len(data)
        self._inner.write(keep)
        self._held += data[len(keep):]
        return len(data)

    def close(self):
        self.closed = True
        self._inner.flush()
        inner, held = self._inner, bytes(self._held)

        def finish():
            time.sleep(0.2)
            for at in range(0, len(held), 65536):
                inner.write(held[at : at + 65536])
                inner.flush()
                time.sleep(0.1)
            inner.close()

        threading.Thread(target=finish, daemon=True).start()


class LongFile(WrappedFile):
    """A file on a server that keeps a byte more than came."""

    def close(self):
        self._inner.write(b"\0")
        super().close()


class SlowFile(WrappedFile):
    """A file written over a slow line: each piece takes a while, so that a test can stop an
    upload part way."""

    def write(self, data):
        time.sleep(0.25)
        return self._inner.write(data)


class HandOverActiveDTP(ActiveDTP):
    """The connection made to the client's data port, which forgets its descriptor once it has
    handed the socket to the data handler. The library's own keeps the number and takes it out of
    the poller when the session ends or asks for its next data connection; by then the data
    handler has closed the socket and the number may belong to a session that connected since,
    whose commands then never get an answer (its client waits until its own timeout)."""

    def handle_connect(self):
        super().handle_connect()
        self._fileno = None


class FullAwareFS(AbstractedFS):
    def open(self, filename, mode):
        f = super().open(filename, mode)
        folder = os.path.basename(os.path.dirname(filename))
        if "w" in mode and folder == "full":
            return FullFile(f)
        if "w" in mode and folder == "cut":
            return CutFile(f, self.cmd_channel)
        if "w" in mode and folder == "cutend":
            return CutAtEndFile(f, self.cmd_channel)
        if "w" in mode and folder == "short":
            return ShortFile(f)
        if "w" in mode and folder == "late":
            return LateFile(f)
        if "w" in mode and folder == "long":
            return LongFile(f)
        if "w" in mode and folder == "slow":
            return SlowFile(f)
        return f

    def rename(self, src, dst):
        # In a folder named "norename" a rename onto an existing file is refused, as some
        # servers do.
        if os.path.basename(os.path.dirname(dst)) == "norename" and os.path.exists(dst):
            raise OSError(errno.EEXIST, os.strerror(errno.EEXIST))
        return super().rename(src, dst)


def main():
    root, user, password = sys.argv[1:4]
    # Quiet: the test reads only the port from the output.
    log = logging.getLogger("pyftpdlib")
    log.addHandler(logging.NullHandler())
    log.propagate = False
    warnings.simplefilter("ignore")  # anonymous users may write here on purpose
    home = os.path.join(root, "home")
    anon = os.path.join(root, "anon")
    for d in (home, anon, *(os.path.join(home, n) for n in ("readonly", "droponly", "full", "cut"))):
        os.makedirs(d, exist_ok=True)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, home, perm="elradfmwMT")
    authorizer.override_perm(user, os.path.join(home, "readonly"), perm="elr", recursive=True)
    authorizer.override_perm(user, os.path.join(home, "droponly"), perm="elrw", recursive=True)
    authorizer.add_anonymous(anon, perm="elradfmwMT")

    handler = FTPHandler
    handler.authorizer = authorizer
    handler.abstracted_fs = FullAwareFS
    handler.active_dtp = HandOverActiveDTP
    handler.banner = "test server ready"
    handler.auth_failed_timeout = 0  # a refused login answers at once
    server = FTPServer(("127.0.0.1", 0), handler)
    print(server.socket.getsockname()[1], flush=True)

    def watch_stdin():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
