#!/usr/bin/env python3
"""Quillport's reception, storage and printing path, measured side by side
with socat (the loopback limit), p910nd (a raw port-9100 daemon, also as
the network printer behind Quillport's socket:// output) and CUPS's own
`lp`, on loopback only; and how long a client waits for its connection's
close while another printer's scheduler hangs.

Every figure is measured in the same run as what it is compared with, in
alternating order, several times; the table shows medians and their ratios.
The table is printed and written to bench/results.md, between the two
markers below; whatever else that file holds (notes by hand) is kept.

Run it through bench/run.sh, which installs and builds what it needs.
"""

import argparse
import ctypes
import datetime
import json
import os
import platform
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BEGIN = "<!-- bench.py: generated table, begin -->"
END = "<!-- bench.py: generated table, end -->"

MiB = 1 << 20
HOST = "127.0.0.1"
STORED = b" stored successful with filename \""
FINISHED = b" finished with error"
COMPLETED = b" completed successful"

# What the threads of the contenders are, by the names the system gives them.
THREADS = {"quillport": "Quillport's event-loop thread (accepting, reading, the spool file)",
           "QThread": "Quillport's delivery thread (the spooler call, storing, the log lines)",
           "p910nd": "p910nd (its one thread)"}

# p910nd listens on 9100 + a digit only; the others on free ports.
P910ND_DIGIT = 9
# A job whose connection is reset is sent again, up to this many times.
RESENDS = 5

# Every wait of the benchmark ends; nothing here runs longer than this.
CONNECT_TIMEOUT = 30.0
JOB_TIMEOUT = 120.0


class BenchError(Exception):
    pass


# --- processes ---------------------------------------------------------------

def listening(port):
    """Whether something listens on 127.0.0.1:port (from /proc/net/tcp)."""
    local = "0100007F:%04X" % port
    with open("/proc/net/tcp") as table:
        next(table)
        for row in table:
            fields = row.split()
            if fields[1] == local and fields[3] == "0A":
                return True
    return False


class FolderWatch:
    """Wakes a waiter when an entry of a folder is written, created or
    renamed into it (inotify), so that waiting for a log line or a printed
    job takes no CPU from the programs measured, as polling would on a
    machine of two cores."""

    MASK = 0x2 | 0x80 | 0x100  # IN_MODIFY | IN_MOVED_TO | IN_CREATE
    libc = ctypes.CDLL(None, use_errno=True)

    def __init__(self, folder):
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if self.libc.inotify_add_watch(self.fd, os.fsencode(folder), self.MASK) < 0:
            error = ctypes.get_errno()
            os.close(self.fd)
            raise OSError(error, "inotify_add_watch " + folder)

    def wait(self, timeout):
        """Returns after a change since the last call, or after `timeout`."""
        ready, _, _ = select.select([self.fd], [], [], max(0.0, timeout))
        if ready:
            try:
                while os.read(self.fd, 65536):
                    pass
            except BlockingIOError:
                pass

    def close(self):
        os.close(self.fd)


def wait_until(condition, timeout, what, watch=None):
    """Polls `condition` every 0.5 ms, or, with a FolderWatch, whenever its
    folder changes (and every 50 ms all the same)."""
    deadline = time.monotonic() + timeout
    while not condition():
        left = deadline - time.monotonic()
        if left < 0:
            raise BenchError("timed out waiting for " + what)
        if watch:
            watch.wait(min(left, 0.05))
        else:
            time.sleep(0.0005)


class Process:
    """A child process that is ended by its own PID, and whose exit can be
    waited for exactly (through a pidfd)."""

    def __init__(self, argv, name, env=None, cwd=None):
        self.name = name
        self.popen = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid = self.popen.pid
        self.pidfd = os.pidfd_open(self.pid)

    def wait_exit(self, timeout):
        ready, _, _ = select.select([self.pidfd], [], [], timeout)
        if not ready:
            raise BenchError(self.name + " did not exit")
        return self.popen.wait()

    def alive(self):
        return self.popen.poll() is None

    def stop(self):
        if self.alive():
            os.kill(self.pid, signal.SIGTERM)
            try:
                self.wait_exit(5)
            except BenchError:
                os.kill(self.pid, signal.SIGKILL)
                self.wait_exit(5)
        os.close(self.pidfd)

    def status(self, key):
        """A size from /proc/PID/status (VmRSS, VmHWM), in bytes."""
        with open("/proc/%d/status" % self.pid) as status:
            for row in status:
                if row.startswith(key + ":"):
                    return int(row.split()[1]) * 1024
        raise BenchError("no %s for %s" % (key, self.name))

    def cpu_by_thread(self):
        """CPU time (user and system) spent so far by each thread, in
        seconds, summed by thread name."""
        tick = os.sysconf("SC_CLK_TCK")
        times = {}
        for tid in os.listdir("/proc/%d/task" % self.pid):
            try:
                with open("/proc/%d/task/%s/stat" % (self.pid, tid)) as stat:
                    text = stat.read()
            except FileNotFoundError:
                continue
            name = text[text.index("(") + 1:text.rindex(")")]
            fields = text[text.rindex(")") + 2:].split()
            times[name] = times.get(name, 0) + (int(fields[11]) + int(fields[12])) / tick
        return times

    def reset_peak(self):
        # Sets VmHWM back to the present resident size.
        with open("/proc/%d/clear_refs" % self.pid, "w") as refs:
            refs.write("5")


# --- clients -----------------------------------------------------------------

def connect(port):
    sock = socket.create_connection((HOST, port), timeout=CONNECT_TIMEOUT)
    sock.settimeout(JOB_TIMEOUT)
    return sock


def free_port():
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


class Resends:
    """Counts the jobs sent again after their connection was reset."""

    def __init__(self):
        self.lock = threading.Lock()
        self.count = 0

    def add(self):
        with self.lock:
            self.count += 1


def in_turns(runs, rep):
    """The contenders in the order of repetition `rep`: each repetition starts
    one further on, so that none always runs first or after the same one."""
    first = rep % len(runs)
    return runs[first:] + runs[:first]


def send_job(port, payload, resends=None):
    """One job: connect, send everything, shut the write side, wait for the
    server to close. A reset connection is tried again, as a printing client
    would. Returns the time of the first byte."""
    for attempt in range(RESENDS + 1):
        sock = connect(port)
        try:
            start = time.perf_counter()
            sock.sendall(payload)
            sock.shutdown(socket.SHUT_WR)
            while sock.recv(65536):
                pass
            return start
        except (ConnectionResetError, BrokenPipeError):
            if resends is None or attempt == RESENDS:
                raise
            resends.add()
        finally:
            sock.close()


def send_jobs(port, payload, count, clients, resends=None):
    """`count` jobs from `clients` clients at once, each sending its share
    one after another. Returns the time the clients were let go."""
    barrier = threading.Barrier(clients + 1)
    errors = []

    def client(share):
        barrier.wait()
        try:
            for _ in range(share):
                send_job(port, payload, resends)
        except OSError as error:
            errors.append(error)

    shares = [count // clients + (1 if i < count % clients else 0) for i in range(clients)]
    threads = [threading.Thread(target=client, args=(share,)) for share in shares]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    if errors:
        raise BenchError("%d client(s) failed, first: %s" % (len(errors), errors[0]))
    return start


# --- contenders --------------------------------------------------------------

class LogWatch:
    """Counts the lines of Quillport's log that hold `marker` as they come
    (by default the "stored successful" lines, whose file names it keeps)."""

    def __init__(self, path, marker=STORED):
        self.path = path
        self.marker = marker
        self.offset = 0
        self.partial = b""
        self.count = 0
        self.names = []
        self.watch = FolderWatch(os.path.dirname(path))

    def poll(self):
        try:
            with open(self.path, "rb") as log:
                log.seek(self.offset)
                data = log.read()
        except FileNotFoundError:
            return
        self.offset += len(data)
        text = self.partial + data
        end = text.rfind(b"\n") + 1
        self.partial = text[end:]
        for line in text[:end].splitlines():
            at = line.find(self.marker)
            if at >= 0:
                self.count += 1
                self.names.append(line[at + len(self.marker):].rstrip(b'"').decode())

    def wait_for(self, count, timeout):
        def logged():
            self.poll()
            return self.count >= count
        try:
            wait_until(logged, timeout, "the log", self.watch)
        except BenchError:
            raise BenchError("Quillport logged %d of %d jobs in time" % (self.count, count))
        return time.perf_counter()


class Quillport:
    """quillport -e on a data folder of its own. `printers` holds one dict of
    settings per printer (localname, port, ...), added to the defaults below;
    `marker` is the log line counted as a job's end."""

    def __init__(self, exe, root, printers, cups_server, marker):
        self.root = root
        data = os.path.join(root, "data", "quillport")
        self.jobs = os.path.join(data, "jobs")
        self.spool = os.path.join(data, ".spool")
        os.makedirs(data)
        os.makedirs(os.path.join(root, "home"))
        entries = []
        for printer in printers:
            # One attempt per job unless a figure wants retries: a job that
            # fails shows as failed instead of waiting for a retry unseen.
            entry = {"active": True, "listen": HOST, "storejobs": False, "jobspath": "jobs", "retrytime": 0}
            entry.update(printer)
            entries.append(entry)
        with open(os.path.join(data, "settings.json"), "w") as f:
            json.dump({"logtype": "textfile", "printers": entries}, f)
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(root, "home"),
                   XDG_DATA_DIRS=os.path.join(root, "data"), CUPS_SERVER=cups_server)
        self.ports = [entry["port"] for entry in entries]
        self.port = self.ports[0]
        self.log = LogWatch(os.path.join(data, "Quillport.log"), marker)
        self.proc = Process([exe, "-e"], "quillport", env=env, cwd=root)
        wait_until(lambda: all(listening(port) for port in self.ports) or not self.proc.alive(), 10,
                   "quillport to listen")
        if not self.proc.alive():
            raise BenchError("quillport did not start; see " + self.log.path)

    def clear_jobs(self):
        for name in os.listdir(self.jobs):
            os.unlink(os.path.join(self.jobs, name))

    def wait_spool_empty(self):
        """A job's spool files are removed right after its log line."""
        try:
            wait_until(lambda: not os.listdir(self.spool), 5, "the spool folder to empty")
        except BenchError:
            raise BenchError("Quillport left %s in its spool folder" % os.listdir(self.spool))

    def stop(self):
        self.proc.stop()
        self.log.watch.close()

    def timed_job(self, payload, before):
        """One job, with the peak resident memory reset first and the
        resident memory before it appended to `before`: the times of its first
        byte, of the server's close and of its marker line."""
        before.append(self.proc.status("VmRSS"))
        self.proc.reset_peak()
        expected = self.log.count + 1
        start = send_job(self.port, payload)
        closed = time.perf_counter()
        return start, closed, self.log.wait_for(expected, JOB_TIMEOUT)


def missing_cups_quillport(args, root, storejobs):
    """One printer whose CUPS server does not exist: every delivery fails at
    once, and with retrytime 0 it is not tried again."""
    return Quillport(args.quillport, root, [{"localname": "demo", "port": free_port(), "storejobs": storejobs}],
                     args.missing_cups, STORED if storejobs else FINISHED)


def free_p910nd_digit():
    for digit in [P910ND_DIGIT] + list(range(9)):
        if not listening(9100 + digit):
            return digit
    raise BenchError("ports 9100 to 9109 are all in use")


class P910nd:
    """p910nd in the foreground, standalone, on 127.0.0.1:910n, printing to a
    plain file."""

    def __init__(self, path):
        os.makedirs("/var/lock/p910nd", exist_ok=True)
        self.path = path
        open(path, "wb").close()  # it does not create its printer
        digit = free_p910nd_digit()
        self.port = 9100 + digit
        # -d writes a line per 8 KB to stdout, which goes to /dev/null.
        self.proc = Process(["p910nd", "-d", "-i", HOST, "-f", path, str(digit)], "p910nd")
        wait_until(lambda: listening(self.port) or not self.proc.alive(), 10, "p910nd to listen")
        if not self.proc.alive():
            raise BenchError("p910nd did not start")

    def empty(self):
        os.truncate(self.path, 0)

    def stop(self):
        self.proc.stop()


class Floor:
    """bench/floor.cpp in one of its two forms (see there): the least a
    server does for a figure, in plain C++, to show where the machine's floor
    lies. `args` gives the folder of its files."""

    def __init__(self, args, folder, *form):
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.port = free_port()
        self.proc = Process([args.floor, form[0], str(self.port)] + [str(value) for value in form[1:]] + [folder],
                            "floor")
        wait_until(lambda: listening(self.port) or not self.proc.alive(), 10, "floor to listen")
        if not self.proc.alive():
            raise BenchError("floor did not start")

    def stored(self):
        return [name for name in os.listdir(self.folder) if name.endswith(".prn")]

    def stop(self):
        self.proc.stop()


def same_content(path, payload):
    view = memoryview(payload)
    with open(path, "rb") as f:
        at = 0
        while True:
            block = f.read(16 * MiB)
            if not block:
                return at == len(payload)
            if view[at:at + len(block)] != block:
                return False
            at += len(block)


# --- statistics and the table --------------------------------------------------

def median(values):
    return statistics.median(values)


def spread(values, fmt):
    """The median with its unit, then the lowest and highest."""
    def bare(value):
        return fmt(value).split()[0]
    return "%s (%s–%s)" % (fmt(median(values)), bare(min(values)), bare(max(values)))


def mib(value):
    return "%.1f MiB" % (value / MiB)


def rate(value):
    return "%.0f MiB/s" % value


def per_second(value):
    return "%.0f jobs/s" % value


def millis(value):
    return "%.1f ms" % (value * 1000)


# --- figures -----------------------------------------------------------------

def large_payload(args, memory):
    """The large job, the same random bytes for every figure that sends it."""
    if "payload" not in memory:
        memory["payload"] = os.urandom(args.large_mib * MiB)
    return memory["payload"]


def figure_large(args, scratch, rows, notes, memory):
    size = args.large_mib * MiB
    print("1. one %d MiB job, %d times each: Quillport, socat, p910nd" % (args.large_mib, args.reps), flush=True)
    payload = large_payload(args, memory)
    qp = missing_cups_quillport(args, os.path.join(scratch, "q-large"), True)
    p9 = P910nd(os.path.join(scratch, "p910nd-large.prn"))
    socat_file = os.path.join(scratch, "socat-large.prn")
    speed = {"quillport": [], "socat": [], "p910nd": []}
    peaks, before = [], []
    # Quillport's reception (to the server's close) and the rest (the failed
    # delivery and storing, to the storing line).
    phases = ([], [])
    try:
        def run_quillport():
            start, closed, end = qp.timed_job(payload, before)
            phases[0].append(closed - start)
            phases[1].append(end - closed)
            peaks.append(qp.proc.status("VmHWM"))
            stored = os.path.join(qp.jobs, qp.log.names[-1] + ".prn")
            if not same_content(stored, payload):
                raise BenchError("Quillport's stored job %s differs from the job sent" % stored)
            qp.clear_jobs()
            return end - start

        def run_socat():
            port = free_port()
            proc = Process(["socat", "-b", "1048576", "-u",
                            "TCP-LISTEN:%d,bind=%s,reuseaddr" % (port, HOST),
                            "OPEN:%s,creat,trunc" % socat_file], "socat")
            try:
                wait_until(lambda: listening(port) or not proc.alive(), 10, "socat to listen")
                start = send_job(port, payload)
                proc.wait_exit(JOB_TIMEOUT)
                end = time.perf_counter()
            finally:
                proc.stop()
            if os.path.getsize(socat_file) != size:
                raise BenchError("socat wrote %d bytes" % os.path.getsize(socat_file))
            os.unlink(socat_file)
            return end - start

        def run_p910nd():
            p9.empty()
            start = send_job(p9.port, payload)
            end = time.perf_counter()
            if os.path.getsize(p9.path) != size:
                raise BenchError("p910nd wrote %d bytes" % os.path.getsize(p9.path))
            p9.empty()
            return end - start

        runs = [("quillport", run_quillport), ("socat", run_socat), ("p910nd", run_p910nd)]
        for _, run in runs:  # a first job each, not counted: the steady state is measured
            run()
        del peaks[:], before[:], phases[0][:], phases[1][:]
        for rep in range(args.reps):
            order = in_turns(runs, rep)
            for name, run in order:
                speed[name].append(size / MiB / run())
            print("   rep %d: " % (rep + 1) + ", ".join("%s %.0f MiB/s" % (n, speed[n][-1]) for n, _ in runs),
                  flush=True)
    finally:
        qp.stop()
        p9.stop()
    q, s, p = (median(speed[n]) for n in ("quillport", "socat", "p910nd"))
    rows.append(("1", "%d MiB job, first byte to file complete: vs socat" % args.large_mib,
                 spread(speed["quillport"], rate), "socat " + spread(speed["socat"], rate),
                 q / s, "≥ 0.80", q / s >= 0.8))
    rows.append(("1", "the same: vs p910nd",
                 spread(speed["quillport"], rate), "p910nd " + spread(speed["p910nd"], rate),
                 q / p, "> 1", q / p > 1))
    notes.append("Figure 1, where Quillport's time went (medians): %s from the first byte to the server's close "
                 "(the job whole in its spool file), %s more to the storing line; socat took %s in all"
                 % (millis(median(phases[0])), millis(median(phases[1])), millis(size / MiB / s)))
    memory["peaks"] = peaks
    memory["before"] = before
    memory["size"] = size

    # The same job with storejobs off: it goes through a spool file all the
    # same, which is removed once its (failed) delivery has ended.
    reps = min(3, args.reps)
    print("   the same job to a printer that does not store jobs, %d times: peak memory" % reps, flush=True)
    qp = missing_cups_quillport(args, os.path.join(scratch, "q-large-unstored"), False)
    unstored, unstored_speed = [], []
    try:
        send_job(qp.port, payload)
        qp.log.wait_for(1, JOB_TIMEOUT)
        for rep in range(reps):
            qp.proc.reset_peak()
            expected = qp.log.count + 1
            start = send_job(qp.port, payload)
            end = qp.log.wait_for(expected, JOB_TIMEOUT)
            unstored.append(qp.proc.status("VmHWM"))
            unstored_speed.append(size / MiB / (end - start))
            qp.wait_spool_empty()
    finally:
        qp.stop()
    memory["unstored"] = unstored
    memory["unstored_speed"] = unstored_speed


def figure_small(args, scratch, rows, notes):
    count, clients = args.small_jobs, args.clients
    payload = os.urandom(4096)
    print("2. %d jobs of 4 KiB, from 1 client and from %d clients, %d times each: Quillport, p910nd"
          % (count, clients, args.small_reps), flush=True)
    qp = missing_cups_quillport(args, os.path.join(scratch, "q-small"), True)
    p9 = P910nd(os.path.join(scratch, "p910nd-small.prn"))
    floor = Floor(args, os.path.join(scratch, "floor-small"), "spool") if args.floor else None
    # Quillport's jobs end twice: at the server's close, when the job is
    # whole in its spool file, and at its storing line, after the delivery.
    results = {}
    resends = {"quillport": Resends(), "p910nd": Resends()}
    # CPU time per job of each thread, for the one-client form.
    cpu = {}

    def count_cpu(proc, n, before):
        if n == 1:
            for name, seconds in proc.cpu_by_thread().items():
                cpu.setdefault((proc.name, name), []).append((seconds - before.get(name, 0)) / count)

    try:
        def run_quillport(n):
            expected = qp.log.count + count
            before = qp.proc.cpu_by_thread()
            start = send_jobs(qp.port, payload, count, n, resends["quillport"])
            closed = time.perf_counter()
            logged = qp.log.wait_for(expected, JOB_TIMEOUT)
            count_cpu(qp.proc, n, before)
            # A job sent again after a reset may have been stored twice.
            if len(os.listdir(qp.jobs)) < count:
                raise BenchError("Quillport stored %d files" % len(os.listdir(qp.jobs)))
            qp.clear_jobs()
            return {"quillport-close": count / (closed - start), "quillport-log": count / (logged - start)}

        def run_p910nd(n):
            # Every job overwrites the same file from its start.
            before = p9.proc.cpu_by_thread()
            start = send_jobs(p9.port, payload, count, n, resends["p910nd"])
            end = time.perf_counter()
            count_cpu(p9.proc, n, before)
            if os.path.getsize(p9.path) != len(payload):
                raise BenchError("p910nd's file has %d bytes" % os.path.getsize(p9.path))
            return {"p910nd": count / (end - start)}

        def run_floor(n):
            # One client only: it takes one connection at a time.
            if n != 1:
                return {}
            start = send_jobs(floor.port, payload, count, n)
            end = time.perf_counter()
            wait_until(lambda: len(floor.stored()) >= count, JOB_TIMEOUT, "floor to store its jobs")
            for name in floor.stored():
                os.remove(os.path.join(floor.folder, name))
            return {"floor": count / (end - start)}

        runs = [run_quillport, run_p910nd] + ([run_floor] if floor else [])
        names = ("quillport-close", "quillport-log", "p910nd")
        for run in runs:  # a first round each, not counted
            run(1)
        cpu.clear()
        for n in (1, clients):
            for name in names + (("floor",) if floor and n == 1 else ()):
                results[(name, n)] = []
            for rep in range(args.small_reps):
                for run in in_turns(runs, rep):
                    for name, value in run(n).items():
                        results[(name, n)].append(value)
                print("   %2d client(s), rep %d: " % (n, rep + 1)
                      + ", ".join("%s %.0f jobs/s" % (name, results[(name, n)][-1]) for name in names),
                      flush=True)
            for name, counter in resends.items():
                if counter.count:
                    notes.append("Figure 2, %d client(s): %s reset %d connections over %d × %d jobs; "
                                 "those jobs were sent again, and the time includes that"
                                 % (n, name, counter.count, args.small_reps, count))
                    counter.count = 0
    finally:
        qp.stop()
        p9.stop()
        if floor:
            floor.stop()
    notes.append("Figure 2, 1 client: CPU time per job (user and system, from /proc/PID/task/*/stat; medians "
                 "of the repetitions): " + ", ".join("%s %.0f µs" % (THREADS.get(thread, proc + " " + thread),
                                                                   median(values) * 1e6)
                                                     for (proc, thread), values in sorted(cpu.items())
                                                     if median(values) > 0))
    for n in (1, clients):
        p = median(results[("p910nd", n)])
        label = "1 client, one job after another" if n == 1 else "%d clients at once" % n
        for name, end in (("quillport-close", "a job done at the server's close"),
                          ("quillport-log", "a job done at its storing line")):
            q = median(results[(name, n)])
            # One client against p910nd, which keeps no job on disk, is shown
            # for the record; the target of one client is the floor's, below.
            target = ("none: p910nd keeps no job", None) if n == 1 else ("≥ 7.00", q / p >= 7)
            rows.append(("2", "%d × 4 KiB jobs, %s, %s: jobs per second vs p910nd" % (count, label, end),
                         spread(results[(name, n)], per_second),
                         "p910nd " + spread(results[("p910nd", n)], per_second), q / p) + target)
        if ("floor", n) in results:
            f = median(results[("floor", n)])
            rows.append(("2", "the same, 1 client, not Quillport: the floor, bench/floor.cpp's durable server (spool "
                              "file, description, rename, close; a second thread logs and stores; nothing else): "
                              "jobs per second vs p910nd",
                         "floor " + spread(results[("floor", n)], per_second),
                         "p910nd " + spread(results[("p910nd", n)], per_second), f / p, "none: the floor", None))
            q = median(results[("quillport-close", n)])
            rows.append(("2", "the same, 1 client, a job done at the server's close: Quillport vs the floor, both "
                              "durable at the close",
                         spread(results[("quillport-close", n)], per_second),
                         "floor " + spread(results[("floor", n)], per_second), q / f, "≥ 0.90", q / f >= 0.9))


def figure_memory(args, scratch, rows, notes, memory):
    size, peaks = memory["size"], memory["peaks"]
    limit = 1.3 * size + 30 * MiB
    peak = median(peaks)
    rows.append(("3", "peak resident memory (VmHWM) while receiving one %d MiB job; "
                      "resident before the job %s" % (size // MiB, mib(median(memory["before"]))),
                 spread(peaks, mib), "job %s" % mib(size), peak / size,
                 "≤ 1.3 × job + 30 MiB = %s" % mib(limit), peak <= limit))
    unstored = median(memory["unstored"])
    rows.append(("3", "the same with storejobs off, the job in a spool file until its delivery has "
                      "failed (received at %s, first byte to the log line)" % spread(memory["unstored_speed"], rate),
                 spread(memory["unstored"], mib), "job %s" % mib(size), unstored / size,
                 "≤ 64 MiB", unstored <= 64 * MiB))

    count, clients = args.leak_jobs, args.clients
    print("3. resident memory over %d jobs of 4 KiB from %d clients" % (count, clients), flush=True)
    payload = os.urandom(4096)
    qp = missing_cups_quillport(args, os.path.join(scratch, "q-leak"), True)
    try:
        def settled_rss():
            # Sockets are deleted on the next turn of the event loop.
            time.sleep(0.5)
            return qp.proc.status("VmRSS")

        start = settled_rss()
        warm = count // 10
        send_jobs(qp.port, payload, warm, clients)
        qp.log.wait_for(warm, JOB_TIMEOUT)
        qp.clear_jobs()
        after_warm = settled_rss()
        sent = warm
        while sent < count:
            step = min(1000, count - sent)
            send_jobs(qp.port, payload, step, clients)
            sent += step
            qp.log.wait_for(sent, JOB_TIMEOUT)
            qp.clear_jobs()
        after = settled_rss()
        peak = qp.proc.status("VmHWM")
    finally:
        qp.stop()
    print("   start %s, after %d jobs %s, after %d jobs %s, peak %s"
          % (mib(start), warm, mib(after_warm), count, mib(after), mib(peak)), flush=True)
    growth = after - after_warm
    ok = after <= start + 5 * MiB and growth <= 1 * MiB
    rows.append(("3", "resident memory after %d × 4 KiB jobs (start %s, after the first %d %s, peak %s)"
                      % (count, mib(start), warm, mib(after_warm), mib(peak)),
                 mib(after), "start %s" % mib(start), after / start,
                 "≤ start + 5 MiB, and ≤ 1 MiB more than after the first %d" % warm, ok))


class PrivateCups:
    """The scheduler of scripts/demo-cups.sh with a second raw queue beside
    "demo"; each queue's backend writes the jobs it prints to a folder."""

    def __init__(self, args, folder):
        self.folder = folder
        self.script = os.path.join(args.source, "scripts", "demo-cups.sh")
        result = subprocess.run(["bash", self.script, "start", folder], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True, timeout=60)
        if result.returncode != 0:
            raise BenchError("the private CUPS did not start")
        self.server = result.stdout.strip().splitlines()[-1]
        self.env = dict(os.environ, CUPS_SERVER=self.server)
        with open(os.path.join(folder, "state", "cupsd.pid")) as f:
            self.pid = int(f.read())
        self.printed = {"demo": os.path.join(folder, "printed"), "demo-b": os.path.join(folder, "printed-b")}
        os.makedirs(self.printed["demo-b"], exist_ok=True)
        self.watches = {queue: FolderWatch(folder) for queue, folder in self.printed.items()}
        added = subprocess.run(["lpadmin", "-p", "demo-b", "-E", "-v", "printed:" + self.printed["demo-b"]],
                               env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        if added.returncode != 0:
            raise BenchError("the private CUPS did not take a second queue")

    def known(self, queue):
        return set(os.listdir(self.printed[queue]))

    def wait_printed(self, queue, known, payload, count=1):
        """Waits until `count` jobs that are not in `known` have been printed
        whole by `queue`'s backend; returns the time the last appeared, after
        checking each against `payload` and removing it."""
        folder = self.printed[queue]
        found = set()

        def new_jobs():
            found.update(n for n in os.listdir(folder) if n.endswith(".prn") and n not in known)
            return len(found) >= count
        wait_until(new_jobs, JOB_TIMEOUT, "%d printed job(s) of queue %s" % (count, queue), self.watches[queue])
        end = time.perf_counter()
        if len(found) != count:
            raise BenchError("queue %s printed %d jobs, not %d" % (queue, len(found), count))
        for name in found:
            path = os.path.join(folder, name)
            if not same_content(path, payload):
                raise BenchError("the printed job %s differs from the job sent" % path)
            os.unlink(path)
        return end

    def receiving(self):
        """The size of a document the scheduler is receiving now (it takes
        it in a spool file with a hex name before naming it d<job>-<doc>),
        or 0."""
        spool = os.path.join(self.folder, "spool")
        for name in os.listdir(spool):
            if len(name) == 8 and all(c in "0123456789abcdef" for c in name):
                try:
                    return os.path.getsize(os.path.join(spool, name))
                except FileNotFoundError:
                    pass
        return 0

    def lp(self, path):
        result = subprocess.run(["lp", "-d", "demo", "-o", "raw", path], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=JOB_TIMEOUT)
        if result.returncode != 0:
            raise BenchError("lp failed")

    def stop(self):
        for watch in self.watches.values():
            watch.close()
        # A scheduler left stopped would not take its SIGTERM.
        try:
            os.kill(self.pid, signal.SIGCONT)
        except ProcessLookupError:
            pass
        subprocess.run(["bash", self.script, "stop", self.folder], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


def figure_cups(args, scratch, rows, notes, memory):
    """Figures 4 to 6, with one private CUPS."""
    cups = PrivateCups(args, os.path.join(scratch, "cups"))
    try:
        if "4" in args.only:
            figure_printing(args, scratch, rows, notes, cups)
        if "5" in args.only:
            figure_printing_large(args, scratch, rows, notes, memory, cups)
        if "6" in args.only:
            figure_hang(args, scratch, rows, notes, cups)
    finally:
        cups.stop()


def cups_quillport(args, root, cups, printers=None):
    return Quillport(args.quillport, root, printers or [{"localname": "demo", "port": free_port()}],
                     cups.server, COMPLETED)


def figure_printing(args, scratch, rows, notes, cups):
    size = args.print_mib * MiB
    reps = args.print_reps
    print("4. one %d MiB job through a private CUPS to a completed job, %d times each: Quillport, lp"
          % (args.print_mib, reps), flush=True)
    payload = os.urandom(size)
    job_file = os.path.join(scratch, "print-job.bin")
    with open(job_file, "wb") as f:
        f.write(payload)
    times = {"quillport": [], "lp": []}
    qp = cups_quillport(args, os.path.join(scratch, "q-print"), cups)
    try:
        def run_quillport():
            known = cups.known("demo")
            sock = connect(qp.port)
            try:
                sock.sendall(payload)
                start = time.perf_counter()
                sock.shutdown(socket.SHUT_WR)
                end = cups.wait_printed("demo", known, payload)
                while sock.recv(65536):
                    pass
            finally:
                sock.close()
            return end - start

        def run_lp():
            known = cups.known("demo")
            start = time.perf_counter()
            cups.lp(job_file)
            return cups.wait_printed("demo", known, payload) - start

        runs = [("quillport", run_quillport), ("lp", run_lp)]
        for _, run in runs:  # the first job of each warms the scheduler up
            run()
        for rep in range(reps):
            order = in_turns(runs, rep)
            for name, run in order:
                times[name].append(run())
            print("   rep %d: quillport %.1f ms, lp %.1f ms"
                  % (rep + 1, times["quillport"][-1] * 1000, times["lp"][-1] * 1000), flush=True)
    finally:
        qp.stop()
        os.unlink(job_file)
    q, l = median(times["quillport"]), median(times["lp"])
    rows.append(("4", "%d MiB job to a completed CUPS job: Quillport from the client's close, vs `lp -o raw`"
                      % args.print_mib,
                 spread(times["quillport"], millis), "lp " + spread(times["lp"], millis),
                 q / l, "≤ 1.20", q / l <= 1.2))


def figure_printing_large(args, scratch, rows, notes, memory, cups):
    size = args.large_mib * MiB
    reps = args.cups_reps
    print("5. one %d MiB job through a private CUPS to a completed job, %d times each: Quillport, lp"
          % (args.large_mib, reps), flush=True)
    payload = large_payload(args, memory)
    job_file = os.path.join(scratch, "print-large.bin")
    with open(job_file, "wb") as f:
        f.write(payload)
    speed = {"quillport": [], "lp": []}
    # Where the time went: reception, the upload to the scheduler (until
    # the job's line, written once the scheduler has the whole document) and
    # the backend for Quillport; the upload (until `lp` returns) and the
    # backend for lp.
    phases = {"quillport": ([], [], []), "lp": ([], [])}
    peaks, before = [], []
    qp = cups_quillport(args, os.path.join(scratch, "q-print-large"), cups)
    try:
        def run_quillport():
            known = cups.known("demo")
            start, closed, uploaded = qp.timed_job(payload, before)
            end = cups.wait_printed("demo", known, payload)
            peaks.append(qp.proc.status("VmHWM"))
            qp.wait_spool_empty()
            phases["quillport"][0].append(closed - start)
            phases["quillport"][1].append(uploaded - closed)
            phases["quillport"][2].append(end - uploaded)
            return end - start

        def run_lp():
            known = cups.known("demo")
            start = time.perf_counter()
            cups.lp(job_file)
            uploaded = time.perf_counter()
            end = cups.wait_printed("demo", known, payload)
            phases["lp"][0].append(uploaded - start)
            phases["lp"][1].append(end - uploaded)
            return end - start

        runs = [("quillport", run_quillport), ("lp", run_lp)]
        for _, run in runs:  # a first job each, not counted
            run()
        del peaks[:], before[:]
        for values in phases.values():
            for phase in values:
                del phase[:]
        for rep in range(reps):
            for name, run in in_turns(runs, rep):
                speed[name].append(size / MiB / run())
            print("   rep %d: quillport %.0f MiB/s (peak %s), lp %.0f MiB/s"
                  % (rep + 1, speed["quillport"][-1], mib(peaks[-1]), speed["lp"][-1]), flush=True)
    finally:
        qp.stop()
        os.unlink(job_file)
    q, l = median(speed["quillport"]), median(speed["lp"])
    rows.append(("5", "%d MiB job, storejobs off, through a private CUPS: first byte to the CUPS job printed "
                      "whole, vs `lp -o raw` reading the same file" % args.large_mib,
                 spread(speed["quillport"], rate), "lp " + spread(speed["lp"], rate), q / l, "≥ 0.80", q / l >= 0.8))
    peak = median(peaks)
    rows.append(("5", "the same: Quillport's peak resident memory (VmHWM); resident before the job %s"
                      % mib(median(before)),
                 spread(peaks, mib), "job %s" % mib(size), peak / size, "≤ 64 MiB", peak <= 64 * MiB))
    notes.append("Figure 5, where the time went (medians): Quillport %s from the first byte to the server's "
                 "close (the job whole in its spool file), %s more to its line `completed successful` (the "
                 "scheduler has the whole document), %s more to the printed job; lp %s until `lp` returned "
                 "(the scheduler has the whole document), %s more to the printed job"
                 % tuple(millis(median(values)) for name in ("quillport", "lp") for values in phases[name]))


def figure_hang(args, scratch, rows, notes, cups):
    reps, count = args.hang_reps, args.hang_jobs
    print("6. %d × %d jobs of 4 KiB to printer B, with the scheduler running and while it hangs in a "
          "delivery to printer A" % (reps, count), flush=True)
    payload = os.urandom(4096)
    big = os.urandom(args.hang_mib * MiB)
    # Retries as by default: a job must not be given up while the scheduler hangs.
    qp = cups_quillport(args, os.path.join(scratch, "q-hang"), cups,
                        [{"localname": "demo", "port": free_port(), "retrytime": 300},
                         {"localname": "demo-b", "port": free_port(), "retrytime": 300}])
    port_a, port_b = qp.ports
    times = {"running": [], "hung": []}
    stopped_at, hangs = [], []
    try:
        def close_time():
            """From the client's close of a job on printer B to the server's."""
            sock = connect(port_b)
            try:
                sock.sendall(payload)
                start = time.perf_counter()
                sock.shutdown(socket.SHUT_WR)
                while sock.recv(65536):
                    pass
                return time.perf_counter() - start
            finally:
                sock.close()

        def jobs_on_b(into):
            # Spread over a few seconds: the hang lasts that long, well within
            # the 30 s after which a delivery gives the scheduler up.
            known = cups.known("demo-b")
            for _ in range(count):
                into.append(close_time())
                time.sleep(0.25)
            return known

        def run_running():
            known = jobs_on_b(times["running"])
            cups.wait_printed("demo-b", known, payload, count)

        def run_hung():
            known_a, known_b = cups.known("demo"), cups.known("demo-b")
            send_job(port_a, big)
            # Printer A's job is on its way into the scheduler: stop it there.
            wait_until(lambda: cups.receiving() >= MiB, JOB_TIMEOUT, "the scheduler to receive printer A's job")
            os.kill(cups.pid, signal.SIGSTOP)
            hung = time.perf_counter()
            try:
                time.sleep(0.2)
                got = cups.receiving()
                if not 0 < got < len(big):
                    raise BenchError("the scheduler was not in the middle of printer A's job (%d bytes)" % got)
                stopped_at.append(got)
                time.sleep(0.3)
                jobs_on_b(times["hung"])
                if cups.known("demo") != known_a or cups.known("demo-b") != known_b:
                    raise BenchError("a job was printed while the scheduler was stopped")
            finally:
                os.kill(cups.pid, signal.SIGCONT)
                hangs.append(time.perf_counter() - hung)
            # Nothing was lost: A's job and all of B's are printed once.
            cups.wait_printed("demo", known_a, big)
            cups.wait_printed("demo-b", known_b, payload, count)

        runs = [("running", run_running), ("hung", run_hung)]
        run_running()  # not counted
        del times["running"][:]
        for rep in range(reps):
            for name, run in in_turns(runs, rep):
                run()
            print("   rep %d: scheduler running %s, hung %s (median of %d)"
                  % (rep + 1, millis(median(times["running"][-count:])), millis(median(times["hung"][-count:])),
                     count), flush=True)
    finally:
        qp.stop()
    h, r = median(times["hung"]), median(times["running"])
    rows.append(("6", "while printer A's scheduler hangs (stopped in the middle of a %d MiB job for A), a 4 KiB "
                      "job on printer B (another queue of that scheduler): client's close to the server's close, "
                      "%d jobs" % (args.hang_mib, len(times["hung"])),
                 spread(times["hung"], millis), "scheduler running " + spread(times["running"], millis),
                 h / r, "< 50 ms (the longest)", max(times["hung"]) < 0.05))
    notes.append("Figure 6: the scheduler was stopped with %s of printer A's %d MiB received, for %s each time; "
                 "after it went on, printer A's job and every job of printer B were printed once and whole"
                 % (", ".join(mib(n) for n in stopped_at), args.hang_mib,
                    ", ".join("%.1f s" % h for h in hangs)))


def figure_socket(args, scratch, rows, notes, memory):
    size = args.large_mib * MiB
    reps = args.reps
    print("7. one %d MiB job to p910nd, %d times each: through Quillport's socket:// output, and straight"
          % (args.large_mib, reps), flush=True)
    payload = large_payload(args, memory)
    p9 = P910nd(os.path.join(scratch, "p910nd-socket.prn"))
    qp = None
    floor = Floor(args, os.path.join(scratch, "floor-socket"), "relay", p9.port) if args.floor else None
    speed = {"quillport": [], "direct": [], "floor": []}
    reception, delivery, peaks, before = [], [], [], []
    try:
        qp = Quillport(args.quillport, os.path.join(scratch, "q-socket"),
                       [{"localname": "network", "port": free_port(), "output": "socket://%s:%d" % (HOST, p9.port)}],
                       args.missing_cups, COMPLETED)

        def printed_whole():
            if not same_content(p9.path, payload):
                raise BenchError("p910nd's file differs from the job sent (%d bytes)" % os.path.getsize(p9.path))
            p9.empty()

        def run_quillport():
            p9.empty()
            # Its line is logged once p910nd has closed its side, after the
            # last byte.
            start, closed, end = qp.timed_job(payload, before)
            peaks.append(qp.proc.status("VmHWM"))
            reception.append(closed - start)
            delivery.append(end - closed)
            printed_whole()
            return end - start

        def sent_to(port):
            """A job sent to `port`, straight to p910nd or through the floor."""
            def run():
                p9.empty()
                start = send_job(port, payload)
                end = time.perf_counter()
                printed_whole()
                return end - start
            return run

        runs = [("quillport", run_quillport), ("direct", sent_to(p9.port))] + (
            [("floor", sent_to(floor.port))] if floor else [])
        for _, run in runs:  # a first job each, not counted
            run()
        del reception[:], delivery[:], peaks[:], before[:]
        for rep in range(reps):
            for name, run in in_turns(runs, rep):
                speed[name].append(size / MiB / run())
            print("   rep %d: through quillport %.0f MiB/s (peak %s), straight %.0f MiB/s%s"
                  % (rep + 1, speed["quillport"][-1], mib(peaks[-1]), speed["direct"][-1],
                     ", floor %.0f MiB/s" % speed["floor"][-1] if floor else ""), flush=True)
    finally:
        if qp:
            qp.stop()
        if floor:
            floor.stop()
        p9.stop()
    q, d = median(speed["quillport"]), median(speed["direct"])
    rows.append(("7", "%d MiB job to p910nd (writing to tmpfs), first byte to p910nd's close: through Quillport's "
                      "socket:// output, vs the client straight to p910nd" % args.large_mib,
                 spread(speed["quillport"], rate), "straight " + spread(speed["direct"], rate), q / d,
                 "≥ 0.60", q / d >= 0.6))
    # The delivery alone: from the server's close (the job whole in its
    # spool file) to p910nd's, against the whole straight send.
    sent = [size / MiB / seconds for seconds in delivery]
    s_ = median(sent)
    rows.append(("7", "the same, the delivery alone: the server's close to p910nd's close, vs the client straight "
                      "to p910nd",
                 spread(sent, rate), "straight " + spread(speed["direct"], rate), s_ / d, "≥ 0.90", s_ / d >= 0.9))
    peak = median(peaks)
    rows.append(("7", "the same: Quillport's peak resident memory (VmHWM); resident before the job %s"
                      % mib(median(before)),
                 spread(peaks, mib), "job %s" % mib(size), peak / size, "≤ 64 MiB", peak <= 64 * MiB))
    if floor:
        f = median(speed["floor"])
        rows.append(("7", "the same, not Quillport: the floor, bench/floor.cpp's relay, which sends the job on "
                          "while it arrives (a client that breaks off leaves half a job on the printer), vs the "
                          "client straight to p910nd",
                     "floor " + spread(speed["floor"], rate), "straight " + spread(speed["direct"], rate), f / d,
                     "none: the floor", None))
    notes.append("Figure 7, where Quillport's time went (medians): %s from the first byte to the server's close "
                 "(the job whole in its spool file), then %s to p910nd's close; straight to p910nd the whole "
                 "job took %s" % (millis(median(reception)), millis(median(delivery)),
                                  millis(size / MiB / median(speed["direct"]))))


# --- the report --------------------------------------------------------------

def machine_facts(args, scratch):
    with open("/proc/meminfo") as meminfo:
        total = int(meminfo.readline().split()[1]) * 1024
    cpu = ""
    with open("/proc/cpuinfo") as cpuinfo:
        for row in cpuinfo:
            if row.startswith("model name"):
                cpu = row.split(":", 1)[1].strip()
                break

    def package_version(name):
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
        return out.stdout.strip() or "?"

    exe = os.path.relpath(args.quillport, args.source)
    if exe.startswith(".."):
        exe = args.quillport
    commit = subprocess.run(["git", "-C", args.source, "describe", "--always", "--dirty"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
    fs = subprocess.run(["stat", "-f", "-c", "%T", scratch], stdout=subprocess.PIPE, text=True).stdout.strip()
    # Gigabytes of other files on the same tmpfs slow large jobs down
    # threefold: a run on a full one says so.
    usage = os.statvfs(scratch)
    used = (usage.f_blocks - usage.f_bfree) * usage.f_frsize
    return [
        "Date: %s" % datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "Machine: %d cores (%s), %.1f GiB memory, Linux %s"
        % (os.cpu_count(), cpu or "?", total / (1 << 30), platform.release()),
        "Quillport: %s (%s), socat %s, p910nd %s, CUPS %s"
        % (commit or "?", exe, package_version("socat"),
           package_version("p910nd"), package_version("cups-daemon")),
        "Job files of all contenders: %s (%s, %.1f GiB in use by other files at the start)"
        % (scratch, fs, used / (1 << 30)),
    ]


def load_average():
    with open("/proc/loadavg") as loadavg:
        return loadavg.read().split()[0]


def render(facts, rows, notes, args):
    lines = ["## Benchmark results", ""]
    lines += ["- " + fact for fact in facts]
    lines += [
        "- Repetitions: %d of figures 1 and 7, %d of each form of figure 2, %d of figure 4, %d of figure 5, "
        "%d of figure 6 (%d jobs each), in turns, after one uncounted round of each contender; each cell is "
        "the median (lowest–highest), each ratio is Quillport's median over the other's"
        % (args.reps, args.small_reps, args.print_reps, args.cups_reps, args.hang_reps, args.hang_jobs),
        "- In figures 1 to 3 Quillport's CUPS server does not exist and `retrytime` is 0, so every delivery "
        "fails at once, without a retry, and the figures measure reception, the spool file, storing and "
        "logging. Every job goes through a spool file, and the server closes the connection as soon as the "
        "job is whole in it. Figure 2 counts a Quillport job done in two ways, from the same runs: at the "
        "server's close (the client knows its job is safe on disk, as p910nd's client knows its job was "
        "written when p910nd closes) and at its storing line (after the delivery, which p910nd does not have).",
        "- Figures 4 to 6 use a private CUPS (scripts/demo-cups.sh) with two raw queues, `demo` and "
        "`demo-b`, and printers without storejobs; a job counts as done when the queue's backend has written "
        "it whole to its folder (checked byte for byte). In figure 6 `retrytime` is 300, elsewhere 0.",
        "- Figure 7: Quillport's printer has `output` socket://127.0.0.1:<p910nd's port>; p910nd writes to a "
        "file on tmpfs, emptied before each job; a job counts as done when p910nd closes the connection "
        "(for Quillport: its line `completed successful`, written after that close), checked byte for byte.",
        "- Load average (1 min) at the start of each figure: "
        + ", ".join("%s: %s" % (figure, load) for figure, load in args.loads),
        "",
        "| # | Measure | Quillport | Compared with | Ratio | Target | Met |",
        "|---|---|---|---|---|---|---|",
    ]
    for figure, measure, quillport, other, ratio, target, met in rows:
        verdict = "—" if met is None else ("yes" if met else "**no**")
        lines.append("| %s | %s | %s | %s | %.2f | %s | %s |" % (figure, measure, quillport, other, ratio,
                                                                    target, verdict))
    if notes:
        lines.append("")
        lines += ["- " + note for note in notes]
    return "\n".join(lines) + "\n"


def write_results(path, table):
    kept_before, kept_after = "", ""
    if os.path.exists(path):
        with open(path) as f:
            old = f.read()
        if BEGIN in old and END in old:
            kept_before = old[:old.index(BEGIN)]
            kept_after = old[old.index(END) + len(END):]
        else:
            kept_after = "\n" + old
    else:
        kept_before = ("# Quillport benchmark\n\nMade by `bash bench/run.sh`. Every run rewrites the part between "
                       "the two markers; the notes around it are kept.\n\n")
    with open(path, "w") as f:
        f.write(kept_before + BEGIN + "\n" + table + END + kept_after)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quillport", required=True, help="the quillport executable")
    parser.add_argument("--floor", help="bench/floor.cpp built; without it, figures 2 and 7 have no floor rows")
    parser.add_argument("--source", default=os.path.dirname(here), help="the source tree")
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where the job files of every contender go (default: a tmpfs, /dev/shm)")
    parser.add_argument("--out", default=os.path.join(here, "results.md"), help="the results file")
    parser.add_argument("--reps", type=int, default=5, help="large jobs of figures 1 and 7")
    parser.add_argument("--large-mib", type=int, default=512, help="size of the large job (figures 1, 3, 5, 7)")
    parser.add_argument("--small-jobs", type=int, default=2000)
    parser.add_argument("--small-reps", type=int, default=9, help="rounds of small jobs (figure 2)")
    parser.add_argument("--clients", type=int, default=16)
    parser.add_argument("--leak-jobs", type=int, default=10000)
    parser.add_argument("--print-mib", type=int, default=1)
    parser.add_argument("--print-reps", type=int, default=7, help="jobs to CUPS (figure 4)")
    parser.add_argument("--cups-reps", type=int, default=5, help="large jobs through CUPS (figure 5)")
    parser.add_argument("--hang-reps", type=int, default=3, help="scheduler hangs (figure 6)")
    parser.add_argument("--hang-jobs", type=int, default=10, help="jobs on printer B per hang (figure 6)")
    parser.add_argument("--hang-mib", type=int, default=64, help="printer A's job, during which the scheduler hangs (figure 6)")
    parser.add_argument("--only", default="1234567", help="figures to run, e.g. 12 (3 runs 1's large jobs too)")
    args = parser.parse_args()
    args.quillport = os.path.abspath(args.quillport)
    if args.floor:
        args.floor = os.path.abspath(args.floor)

    for tool in ("socat", "p910nd", "lp", "cupsd" if shutil.which("cupsd") else "/usr/sbin/cupsd"):
        if not shutil.which(tool):
            sys.exit("bench: %s is missing; run bench/run.sh" % tool)

    scratch = tempfile.mkdtemp(prefix="quillport-bench-", dir=args.dir)
    os.chmod(scratch, 0o755)
    args.missing_cups = os.path.join(scratch, "no-cups-here.sock")
    rows, notes, memory = [], [], {}
    started = time.monotonic()
    load_start = load_average()
    try:
        facts = machine_facts(args, scratch)
        args.loads = []

        def figure(names, label, run, *params):
            if any(name in args.only for name in names):
                args.loads.append((label, load_average()))
                run(args, scratch, rows, notes, *params)
        figure("13", "1", figure_large, memory)
        figure("2", "2", figure_small)
        figure("3", "3", figure_memory, memory)
        figure("456", "4 to 6", figure_cups, memory)
        figure("7", "7", figure_socket, memory)
    except BenchError as error:
        sys.exit("bench: " + str(error))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    facts.append("Whole run: %.0f s; load average (1 min) %s before it, %s after it"
                 % (time.monotonic() - started, load_start, load_average()))
    table = render(facts, rows, notes, args)
    print()
    print(table)
    write_results(args.out, table)
    print("written to " + args.out)


if __name__ == "__main__":
    main()
