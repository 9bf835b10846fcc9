"""Batches of molecules on every core or on a Dask cluster, results in input order.

The local pool's workers are forks of the calling process while it runs no other thread
(a command's, as a rule), otherwise forks of a fork server that has imported korvane
once; either way a new worker costs a fork, not an import. Each worker takes a chunk of
molecules at a time (and the next one while it finishes the last molecules of the one
before) and answers each molecule as it finishes (the parent reads the answers every
20 ms while every worker has work at hand), so the parent always knows which molecule a
worker holds: a worker that dies or overruns the time-out costs that
molecule only (it gets an error record), the rest of its chunks goes to the next worker,
and a new worker takes its place.
"""
import itertools
import multiprocessing
import os
import select
import signal
import time
from collections import deque

from .._settings import max_analysis_bytes, set_helper_threads, set_max_analysis_bytes

_server = None


def _mp_context():
    """The start method of the next worker: a fork of this process while it runs no other
    thread, since no lock can then be held by a thread the child would not have and the
    worker starts at once, with everything imported; otherwise the fork server, whose
    start (an interpreter importing korvane) the first worker waits for."""
    global _server
    try:
        alone = len(os.listdir("/proc/self/task")) == 1
    except OSError:  # no /proc: the threads cannot be counted
        alone = False
    if alone:
        return multiprocessing.get_context("fork")
    if _server is None:
        _server = multiprocessing.get_context("forkserver")
        _server.set_forkserver_preload(["korvane.batch"])
    return _server


_READY = "ready"

# Seconds the parent lets answers gather while every worker has work at hand. A worker's
# answers over that time fit well within its pipe's buffer, so it never waits to send.
_GATHER = 0.02


# This process's ends of its workers' pipes, by file descriptor.
_parent_ends = set()


def _worker_main(conn, task, options, byte_limit, inherited=(), helpers=True):
    """Answers each chunk of (index, Item) with one (index, result) message per item.

    `inherited` holds the parent's pipe ends that a fork of it has copies of: closed
    first, so that the worker's own pipe ends when the parent goes, however it goes.
    `helpers` is whether the analyses may use helper threads.
    """
    for fd in inherited:
        try:
            os.close(fd)
        except OSError:
            pass
    # Ctrl-C reaches the whole process group; the parent alone decides what stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    from rdkit import RDLogger
    # RDKit's parse messages would break the parent's progress bar; the error records
    # hold the reason.
    RDLogger.DisableLog("rdApp.*")
    set_max_analysis_bytes(byte_limit)
    set_helper_threads(helpers)
    tune_allocator()
    try:
        conn.send(_READY)  # the time-out counts from here, not from the process start
        while True:
            try:
                chunk = conn.recv()
            except EOFError:
                return
            if chunk is None:
                return
            for index, item in chunk:
                conn.send((index, task(item, options)))
    except (BrokenPipeError, ConnectionResetError):
        return  # the parent is gone: nobody is left to tell


class _Worker:
    def __init__(self, task, options, byte_limit, helpers):
        ctx = _mp_context()  # asked at each start: threads may have come or gone since
        self.conn, child = ctx.Pipe()
        _parent_ends.add(self.conn.fileno())
        # A fork holds a copy of this end and of every other worker's: while it does, a
        # worker would never see its pipe end, and would wait for ever once the parent died.
        inherited = (sorted(_parent_ends - {child.fileno()})
                     if ctx.get_start_method() == "fork" else [])
        self.process = ctx.Process(target=_worker_main,
                                   args=(child, task, options, byte_limit, inherited,
                                         helpers),
                                   daemon=True)
        self.process.start()
        child.close()
        self.held = deque()  # the (index, Item) pairs given and not answered, in order
        self.ready = False   # whether the worker has started and said so
        self.since = 0.0     # when the molecule now held started
        self.closed = False  # whether the worker's end of the pipe has closed
        # Whether an answer waits in the pipe, asked of the kernel directly: the
        # Connection's own poll() builds a selector each time, and the parent asks after
        # every answer.
        self._pending = select.poll()
        self._pending.register(self.conn.fileno(), select.POLLIN)

    def give(self, chunk):
        """Hands a chunk over; returns False, holding nothing more, when the worker is
        gone. The time-out of a molecule under way keeps counting from its start."""
        try:
            self.conn.send(chunk)
        except OSError:
            return False
        if not self.held:
            self.since = time.monotonic()
        self.held.extend(chunk)
        return True

    def overdue(self, timeout, now):
        return self.ready and bool(self.held) and now - self.since > timeout

    def answers(self):
        """Returns the answers that have arrived. Once the worker's end of the pipe has
        closed (it died), sets `closed` and still returns what it sent before."""
        out = []
        try:
            while self._pending.poll(0):
                message = self.conn.recv()
                self.since = time.monotonic()
                if message == _READY:
                    self.ready = True
                    continue
                out.append(message)
                self.held.popleft()
        except (EOFError, OSError):
            self.closed = True
        return out

    def stop(self, kill=False):
        if kill:
            self.process.kill()
        else:
            try:
                self.conn.send(None)
            except OSError:
                pass
        self.process.join(1.0)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        _parent_ends.discard(self.conn.fileno())
        self.conn.close()


def _death_cause(process):
    """"killed by SIGKILL" or "exited with code 1": how a finished process ended."""
    code = process.exitcode
    if code is not None and code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exited with code {code}"


def default_jobs():
    """Returns the number of cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def pool_map(items, task, options, jobs=None, timeout=None, chunk_size=16, lost=None,
             byte_limit=None):
    """Yields task(item, options) for each item, in input order, from `jobs` worker
    processes; `task` must be a function of an importable module.

    A worker that dies, or holds one item longer than `timeout` seconds (then it is
    killed), yields lost(item, message) for that item instead and is replaced. Results
    that wait for an earlier one are kept in memory; no new chunk is handed out while
    more than a bounded number of them wait. Stopping the generator (or Ctrl-C in it)
    stops the workers at once.
    """
    jobs = max(1, int(jobs or default_jobs()))
    limit = max_analysis_bytes() if byte_limit is None else byte_limit
    # With a worker for every CPU, a helper thread of one could only take a CPU from
    # another: the workers then leave their helpers off, which gains about 5 %.
    helpers = jobs < default_jobs()
    source = enumerate(items)
    requeued = deque()  # chunks taken back from a lost worker, served first
    waiting = {}        # index -> result that waits for an earlier index
    max_waiting = max(1000, 8 * jobs * chunk_size)
    next_index = 0
    workers = [_Worker(task, options, limit, helpers) for _ in range(jobs)]

    def replace(w, message):
        nonlocal workers
        # The worker held its first unanswered item; the rest of the chunk goes again.
        if w.held:
            index, item = w.held.popleft()
            waiting[index] = lost(item, message)
        if w.held:
            requeued.appendleft(list(w.held))
        w.stop(kill=True)
        workers[workers.index(w)] = _Worker(task, options, limit, helpers)

    last_read = 0.0  # when the parent last looked for answers
    try:
        exhausted = False
        while True:
            for k, w in enumerate(workers):
                # A worker gets its next chunk while it still works on the last molecules
                # of the one before, so that it never waits for this process to be given
                # a CPU (with every core busy, that took a few ms per chunk).
                if len(w.held) >= chunk_size or len(waiting) > max_waiting:
                    continue
                chunk = requeued.popleft() if requeued else None
                if chunk is None and not exhausted:
                    chunk = list(itertools.islice(source, chunk_size))
                    exhausted = not chunk
                if chunk and not w.give(chunk):
                    if w.held:
                        # It died at work: the chunk goes again, and the loss of the
                        # molecule it held is found below with the rest of its own.
                        requeued.appendleft(chunk)
                        continue
                    w.answers()  # it may have said it was ready before it died
                    w.process.join(1.0)
                    if not w.ready:
                        raise RuntimeError("a worker process could not start: it "
                                           + _death_cause(w.process))
                    # A worker that died while idle cost no molecule.
                    requeued.appendleft(chunk)
                    w.stop(kill=True)
                    workers[k] = _Worker(task, options, limit, helpers)
            busy = [w for w in workers if w.held]
            if not busy and not waiting:
                break
            now = time.monotonic()
            wake = None
            started = [w for w in busy if w.ready]
            if timeout is not None and started:
                wake = max(0.0, min(w.since + timeout for w in started) - now)
                # A huge time-out means none; poll() takes no more than an int's milliseconds.
                wake = min(wake, 3600.0)
            ended = set()  # the busy workers whose process has ended
            if busy and all(len(w.held) > 1 for w in workers):
                # Every worker has its next molecule at hand: the answers may gather for a
                # few ms and be read together. Waking for each one took this process's
                # turn on a CPU from a worker several hundred times a second.
                pause = min(_GATHER - (now - last_read), _GATHER if wake is None else wake)
                if pause > 0:
                    time.sleep(pause)
            if busy:
                # One poll of every busy worker's pipe and of its process's sentinel, which
                # becomes readable when the process ends.
                watched, owner = select.poll(), {}
                for w in busy:
                    for fd in (w.conn.fileno(), w.process.sentinel):
                        watched.register(fd, select.POLLIN)
                        owner[fd] = w
                for fd, _ in watched.poll(None if wake is None else wake * 1000.0):
                    if fd == owner[fd].process.sentinel:
                        ended.add(owner[fd])
                last_read = time.monotonic()
            for w in busy:
                # Asked before the read: the pipe of a worker that has ended holds all it
                # sent, which the read then takes up to the pipe's end.
                ended_here = w in ended and not w.process.is_alive()
                for index, result in w.answers():
                    waiting[index] = result
                if ended_here or w.closed:
                    w.process.join()
                    if not w.ready:  # no molecule's fault: every worker would fail so
                        raise RuntimeError("a worker process could not start: it "
                                           + _death_cause(w.process))
                    replace(w, "WorkerDied: the worker analysing this molecule was "
                            + _death_cause(w.process))
                elif timeout is not None and w.overdue(timeout, time.monotonic()):
                    replace(w, f"TimeoutError: the analysis took longer than {timeout:g} s")
            while next_index in waiting:
                yield waiting.pop(next_index)
                next_index += 1
    finally:
        for w in workers:
            w.stop(kill=bool(w.held))


def map_all(task, items, options, jobs=1, lost=None):
    """Returns [task(item, options) for item in items] in input order: in this process when
    jobs <= 1 or there is one item, else from `jobs` worker processes of pool_map.

    RDKit's log is silenced where the work runs (the workers silence their own).
    """
    items = list(items)
    if jobs <= 1 or len(items) < 2:
        from rdkit import RDLogger
        RDLogger.DisableLog("rdApp.*")
        return [task(item, options) for item in items]
    return list(pool_map(items, task, options, jobs=jobs, chunk_size=_chunk(len(items), jobs),
                         lost=lost))


def _chunk(n_items, jobs):
    # Small chunks keep the workers evenly loaded to the end of the list.
    return max(1, min(16, n_items // (8 * jobs)))


_allocator_tuned = False


def tune_allocator():
    """Lets glibc's malloc keep freed memory for reuse in this process, once.

    Dask's nanny starts its workers with MALLOC_TRIM_THRESHOLD_ set, and leaves it set in
    the environment of the process that started a LocalCluster, so that every process
    started from there afterwards (a `korvane predict`, the local pool's workers) has it
    too. It fixes glibc's thresholds at their smallest: every block above 128 KiB (the
    orbital matrices of a mid-sized molecule) is then mapped afresh and unmapped when
    freed, and the heap is trimmed after almost every analysis, so the kernel maps and
    zeroes the same memory again and again. On this project's benchmark that cost a
    worker a fifth to a third more time per molecule. The limits set here are the
    largest that glibc's own adaptive thresholds reach in a process started without that
    variable. Every batch worker, local or Dask, calls this before its first molecule.
    """
    global _allocator_tuned
    if _allocator_tuned:
        return
    _allocator_tuned = True
    try:
        import ctypes
        libc = ctypes.CDLL("libc.so.6")
    except (OSError, AttributeError):  # not glibc: nothing to tune
        return
    m_trim_threshold, m_mmap_threshold = -1, -3  # glibc's mallopt parameters
    libc.mallopt(m_mmap_threshold, 32 << 20)
    libc.mallopt(m_trim_threshold, 64 << 20)
