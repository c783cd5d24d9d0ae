#!/usr/bin/env python3
"""What the real program and the X server spend while text arrives at the serial line rate.

    bench/xload.sh [--seconds S] [--fill MB] [--runs N] [--program PATH] [--against PATH]

The real program (default: the perf build's quorlane) runs under Xvfb with openbox, in a
scratch QUORLANE_HOME whose COM 5 is a pseudo-terminal this script holds, with
QUORLANE_LOOPBACK_ONLY=1 (xload.sh runs it where only the loopback interface exists).
The unit's side first pours --fill MB of its log into the port as fast as the program
takes it, then plays 1,920 bytes/s of 60-byte lines in 10 ms slices (the serial line
rate) for --seconds, and at the same time the same stream into a second pseudo-terminal
that `cat` copies to a file. Over that span it reads the processor time of the program,
of the X server and of `cat` (/proc/<pid>/task/*/schedstat) and prints each in % of a
core, with the program and the X server against `cat`. With --against, another build
of the program runs the same way in the same X server, the two taking turns --runs
times; the medians of each are printed with this build's against the other's.

After each run the log must hold exactly what was sent; the run fails otherwise.
"""

import argparse
import errno
import fcntl
import os
import pty
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import termios
import time
import tty

LINE_RATE = 1920.0  # bytes per second: 19,200 baud, 8N1
SLICE = 0.010       # the unit's side writes every 10 ms what is due by then
LINE = 60           # bytes per line, its CR LF included


def lines(first, count):
    """`count` lines of the unit's readings from sequence number `first`, 60 bytes each."""
    words = (b"rdp dew point", b"rsp set point", b"rco CO2 level", b"rci current",
             b"rlt line temp", b"rct cycle time")
    out = bytearray()
    for seq in range(first, first + count):
        value = (seq * 7919) % 20000 - 10000
        text = b"%s #%08d value %+07.2f unit" % (words[seq % 6], seq, value / 100)
        out += text.ljust(LINE - 2, b".") + b"\r\n"
    return bytes(out)


def raw_pty():
    """A pseudo-terminal in raw mode, as a serial port is: (master, slave name)."""
    master, slave = pty.openpty()
    tty.setraw(slave, termios.TCSANOW)
    name = os.ttyname(slave)
    os.close(slave)  # the program opens it by name; the master keeps it alive
    fcntl.fcntl(master, fcntl.F_SETFL, fcntl.fcntl(master, fcntl.F_GETFL) | os.O_NONBLOCK)
    return master, name


def write_all(fd, data, deadline):
    view = memoryview(data)
    while view:
        try:
            n = os.write(fd, view[:65536])
            view = view[n:]
        except BlockingIOError:
            if time.monotonic() > deadline:
                raise RuntimeError("the program stopped taking its input")
            select.select([], [fd], [], 0.1)


def drain(fd):
    """Reads (and drops) what the program wrote to its port."""
    try:
        while os.read(fd, 65536):
            pass
    except (BlockingIOError, OSError):
        pass


def cpu_seconds(pid):
    """Processor time of every thread of `pid` so far, in seconds."""
    total = 0
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                    total += int(f.read().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass  # the thread ended meanwhile
    except FileNotFoundError:
        raise RuntimeError("process %d has gone" % pid)
    return total / 1e9


def wakeups(pid):
    """Context switches of every thread of `pid` so far: about how often it woke up."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                total += sum(int(line.split()[1]) for line in f
                             if line.startswith(("voluntary_ctxt", "nonvoluntary_ctxt")))
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def file_size(path):
    try:
        return os.stat(path).st_size
    except FileNotFoundError:
        return -1


def wait_for(what, condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.05)


class XServer:
    """Xvfb on a free display, with openbox managing its windows."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
             "-nolisten", "tcp"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
        os.close(write_end)
        display = b""
        while not display.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            display += chunk
        os.close(read_end)
        self.display = ":" + display.decode().strip()
        env = dict(os.environ, DISPLAY=self.display)
        self.wm = subprocess.Popen(["openbox"], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        time.sleep(1)

    def close(self):
        for p in (self.wm, self.xvfb):
            p.terminate()
            p.wait()


def run_once(program, xserver, opts, label):
    """One run of `program`: fill, then the paced span. Returns (program, X, cat) in %."""
    home = tempfile.mkdtemp(prefix="quorlane-xload-")
    procs = []
    try:
        port, port_name = raw_pty()
        os.makedirs(os.path.join(home, "dosdevices"))
        os.symlink(port_name, os.path.join(home, "dosdevices", "com5"))
        log = os.path.join(home, "drive_c", "ZEL.txt")
        env = {k: v for k, v in os.environ.items() if not k.startswith(("QT_", "DBUS_"))}
        env.update(QUORLANE_HOME=home, QUORLANE_LOOPBACK_ONLY="1", DISPLAY=xserver.display,
                   QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=home)
        quorlane = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL,
                                    stderr=open(os.path.join(home, "quorlane.log"), "wb"))
        procs.append(quorlane)
        # Start-up greets the unit over the port once it is open, and starts the log.
        greeted = bytearray()

        def greeting():
            try:
                greeted.extend(os.read(port, 4096))
            except OSError as e:  # nothing yet, or the port not open yet (EIO)
                if e.errno not in (errno.EAGAIN, errno.EIO):
                    raise
            return bool(greeted) and file_size(log) >= 0
        wait_for("the program to open COM 5", greeting, 30)
        time.sleep(1)
        start = file_size(log)

        # The log so far, as fast as the program takes it.
        seq = 0
        sent = 0
        deadline = time.monotonic() + 600
        per = 65536 // LINE
        while sent < opts.fill * 1e6:
            chunk = lines(seq, per)
            seq += per
            write_all(port, chunk, deadline)
            sent += len(chunk)
            drain(port)
        wait_for("the log to take the fill", lambda: file_size(log) >= start + sent, 600)
        time.sleep(3)

        # The paced span, the same stream into cat's pseudo-terminal.
        cat_port, cat_name = raw_pty()
        cat_out = os.path.join(home, "cat-copy.txt")
        with open(cat_name, "rb", buffering=0) as cat_in, open(cat_out, "wb") as copy:
            cat = subprocess.Popen(["cat"], stdin=cat_in, stdout=copy, stderr=subprocess.DEVNULL)
        procs.append(cat)
        time.sleep(0.5)
        count = int(LINE_RATE * opts.seconds) // LINE
        stream = lines(seq, count)
        pids = (quorlane.pid, xserver.xvfb.pid, cat.pid)
        before = [cpu_seconds(p) for p in pids]
        woke = [wakeups(p) for p in pids]
        t0 = time.monotonic()
        done = 0
        deadline = t0 + opts.seconds + 60
        next_slice = t0
        while done < len(stream):
            next_slice += SLICE
            pause = next_slice - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            due = min(len(stream), int(LINE_RATE * (time.monotonic() - t0)))
            if due > done:
                write_all(port, stream[done:due], deadline)
                write_all(cat_port, stream[done:due], deadline)
                done = due
        time.sleep(0.3)  # the last piece's event and frame
        span = time.monotonic() - t0
        after = [cpu_seconds(p) for p in pids]
        shares = [(a - b) / span * 100 for a, b in zip(after, before)]
        rates = [(wakeups(p) - w) / span for p, w in zip(pids, woke)]

        wait_for("the log to take the stream",
                 lambda: file_size(log) >= start + sent + len(stream), 30)
        wait_for("cat to copy the stream", lambda: file_size(cat_out) >= len(stream), 30)
        # After start-up's line ends, the log holds what was sent and nothing else.
        expected = lines(0, seq) + stream
        with open(log, "rb") as f:
            head = f.read(file_size(log) - len(expected))
            got = f.read()
        if got != expected or head.strip(b"\r\n"):
            raise RuntimeError("the log does not hold exactly what was sent")
        print("  %-8s program %5.2f %%   X server %5.2f %%   cat %5.2f %%   "
              "program / cat %5.2fx   (log %.1f MB; wake-ups/s: program %.0f, X %.0f, cat %.0f)"
              % (label, shares[0], shares[1], shares[2], shares[0] / shares[2],
                 file_size(log) / 1e6, *rates), flush=True)
        os.close(cat_port)
        os.close(port)
        return shares
    finally:
        for p in procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(20)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(home, ignore_errors=True)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--fill", type=float, default=32, help="MB of log before the span")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--program",
                        default=os.path.join(os.path.dirname(here), "build-perf", "quorlane"))
    parser.add_argument("--against", help="another build's quorlane, for comparison")
    opts = parser.parse_args()
    builds = [("this", opts.program)] + ([("other", opts.against)] if opts.against else [])
    print("xload: %.0f B/s of %d-byte lines in %d ms slices for %.0f s after %.0f MB; "
          "%% of one core" % (LINE_RATE, LINE, SLICE * 1000, opts.seconds, opts.fill), flush=True)
    xserver = XServer()
    results = {label: [] for label, _ in builds}
    try:
        for _ in range(opts.runs):
            for label, program in reversed(builds):
                results[label].append(run_once(program, xserver, opts, label))
    finally:
        xserver.close()

    def medians(label):
        return [statistics.median(r[i] for r in results[label]) for i in range(3)]
    print("medians of %d run%s:" % (opts.runs, "" if opts.runs == 1 else "s"))
    for label, _ in builds:
        p, x, c = medians(label)
        print("  %-8s program %5.2f %%   X server %5.2f %%   cat %5.2f %%   program / cat %5.2fx"
              % (label, p, x, c, p / c))
    if opts.against:
        (p, x, _), (op, ox, _) = medians("this"), medians("other")
        print("this build against the other: program %.2fx, X server %.2fx" % (p / op, x / ox))


if __name__ == "__main__":
    try:
        main()
    except RuntimeError as e:
        print("xload: FAIL " + str(e), file=sys.stderr)
        sys.exit(1)
