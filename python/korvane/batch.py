"""Batches of molecules on every core or on a Dask cluster, results in input order.

The local pool runs worker processes started from a fork server that has imported
korvane once, so a new worker costs a fork, not an import. Each worker takes a chunk of
molecules at a time and answers each molecule as it finishes, so the parent always
knows which molecule a worker holds: a worker that dies or overruns the time-out costs
that molecule only (it gets an error record), the rest of its chunk goes to the next
worker, and a new worker takes its place.
"""
import itertools
import multiprocessing
import os
import signal
import time
from collections import deque
from multiprocessing.connection import wait

from .compound_files import Item, read_compounds
from .record import error_record, predict_record

_context = None


def _mp_context():
    global _context
    if _context is None:
        _context = multiprocessing.get_context("forkserver")
        _context.set_forkserver_preload(["korvane.batch"])
    return _context


def _analyse_item(item, options):
    """Returns the record of one Item (its problem, if any, as an error record)."""
    if item.problem is not None:
        return error_record(item.smiles, item.id, item.problem)
    return predict_record(item.smiles, id=item.id, **options)


_READY = "ready"


def _worker_main(conn, task, options, byte_limit):
    """Answers each chunk of (index, Item) with one (index, result) message per item."""
    # Ctrl-C reaches the whole process group; the parent alone decides what stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    from rdkit import RDLogger
    import korvane
    # RDKit's parse messages would break the parent's progress bar; the error records
    # hold the reason.
    RDLogger.DisableLog("rdApp.*")
    korvane.MAX_ANALYSIS_BYTES = byte_limit
    _tune_allocator()
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


class _Worker:
    def __init__(self, ctx, task, options, byte_limit):
        self.conn, child = ctx.Pipe()
        self.process = ctx.Process(target=_worker_main, args=(child, task, options, byte_limit),
                                   daemon=True)
        self.process.start()
        child.close()
        self.held = deque()  # the (index, Item) pairs given and not answered, in order
        self.ready = False   # whether the worker has started and said so
        self.since = 0.0     # when the molecule now held started

    def give(self, chunk):
        """Hands a chunk over; returns False, holding nothing, when the worker is gone."""
        try:
            self.conn.send(chunk)
        except OSError:
            return False
        self.held.extend(chunk)
        self.since = time.monotonic()
        return True

    def overdue(self, timeout, now):
        return self.ready and bool(self.held) and now - self.since > timeout

    def answers(self):
        """Returns the answers that have arrived; raises EOFError once the worker is gone."""
        out = []
        while self.conn.poll():
            message = self.conn.recv()
            self.since = time.monotonic()
            if message == _READY:
                self.ready = True
                continue
            out.append(message)
            self.held.popleft()
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
    import korvane
    jobs = max(1, int(jobs or default_jobs()))
    limit = korvane.MAX_ANALYSIS_BYTES if byte_limit is None else byte_limit
    ctx = _mp_context()
    source = enumerate(items)
    requeued = deque()  # chunks taken back from a lost worker, served first
    waiting = {}        # index -> result that waits for an earlier index
    max_waiting = max(1000, 8 * jobs * chunk_size)
    next_index = 0
    workers = [_Worker(ctx, task, options, limit) for _ in range(jobs)]

    def replace(w, message):
        nonlocal workers
        # The worker held its first unanswered item; the rest of the chunk goes again.
        if w.held:
            index, item = w.held.popleft()
            waiting[index] = lost(item, message)
        if w.held:
            requeued.appendleft(list(w.held))
        w.stop(kill=True)
        workers[workers.index(w)] = _Worker(ctx, task, options, limit)

    try:
        exhausted = False
        while True:
            for k, w in enumerate(workers):
                if w.held or len(waiting) > max_waiting:
                    continue
                chunk = requeued.popleft() if requeued else None
                if chunk is None and not exhausted:
                    chunk = list(itertools.islice(source, chunk_size))
                    exhausted = not chunk
                if chunk and not w.give(chunk):
                    try:
                        w.answers()  # it may have said it was ready before it died
                    except (EOFError, OSError):
                        pass
                    w.process.join(1.0)
                    if not w.ready:
                        raise RuntimeError("a worker process could not start: it "
                                           + _death_cause(w.process))
                    # A worker that died while idle cost no molecule.
                    requeued.appendleft(chunk)
                    w.stop(kill=True)
                    workers[k] = _Worker(ctx, task, options, limit)
            busy = [w for w in workers if w.held]
            if not busy and not waiting:
                break
            now = time.monotonic()
            wake = None
            started = [w for w in busy if w.ready]
            if timeout is not None and started:
                wake = max(0.0, min(w.since + timeout for w in started) - now)
            if busy:
                wait([w.conn for w in busy] + [w.process.sentinel for w in busy], wake)
            for w in busy:
                try:
                    for index, result in w.answers():
                        waiting[index] = result
                    gone = not w.process.is_alive()
                    if gone:  # answers it sent before it died are read above
                        for index, result in w.answers():
                            waiting[index] = result
                except (EOFError, OSError):
                    gone = True
                if gone:
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


def _as_items(inputs, smiles_column=None, id_column=None):
    """Items of a file path, of SMILES strings or of (id, SMILES) pairs."""
    if isinstance(inputs, (str, os.PathLike)):
        yield from read_compounds(inputs, smiles_column, id_column)
        return
    for number, entry in enumerate(inputs, 1):
        if isinstance(entry, str):
            yield Item(number, str(number), entry, None)
        else:
            given, smiles = entry
            yield Item(number, str(number) if given is None else given, smiles, None)


def lost_record(item, message):
    return error_record(item.smiles, item.id, message)


def predict_many(inputs, jobs=None, client=None, timeout=None, partition_size=None,
                 **options):
    """Yields the records of `inputs` in input order: SMILES strings (ids are their
    1-based positions, as text), (id, SMILES) pairs, or the path of a compound file.

    Options are predict_record's (recursive_ms, ring_fragmentation, max_generations,
    largest_component, bond_kappa, timings). Runs on `jobs` local worker processes
    (default: every core), or with a Dask `client` on its cluster.
    """
    items = _as_items(inputs)
    if client is not None:
        yield from dask_map(items, _analyse_item, options, client,
                            partition_size=partition_size or 64, lost=lost_record)
        return
    yield from pool_map(items, _analyse_item, options, jobs=jobs, timeout=timeout,
                        chunk_size=partition_size or 16, lost=lost_record)


_allocator_tuned = False


def _tune_allocator():
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


def run_partition(partition, task, options):
    """Returns [task(item, options) for each item]: one Dask task's work."""
    _tune_allocator()
    return [task(item, options) for item in partition]


def dask_map(items, task, options, client, partition_size=64, lost=None, in_flight=None):
    """Yields task(item, options) for each item in input order, computed on the Dask
    cluster of `client` in partitions of `partition_size` items, at most `in_flight`
    partitions submitted at a time (default: four per thread of the cluster, so that a
    slow partition at the head of the order does not leave the other workers idle).

    A partition whose worker is lost is retried by the scheduler; one that keeps killing
    its workers is split into single items, and an item that still kills its worker
    yields lost(item, message).
    """
    from distributed import KilledWorker
    import uuid
    batch = uuid.uuid4().hex
    if in_flight is None:
        in_flight = max(4, 4 * sum(client.nthreads().values()))
    source = enumerate(items)
    futures = deque()
    counter = itertools.count()

    def submit(partition):
        # An explicit key per partition: Dask would merge equal arguments otherwise.
        return client.submit(run_partition, partition, task, options, pure=False,
                             key=f"korvane-partition-{batch}-{next(counter)}")

    def result_of(future, partition):
        try:
            return future.result()
        except KilledWorker:
            out = []
            for item in partition:
                try:
                    out.extend(submit([item]).result())
                except KilledWorker:
                    out.append(lost(item, "WorkerDied: the molecule's Dask worker was "
                                          "lost on every try"))
            return out

    while True:
        while len(futures) < in_flight:
            partition = [item for _, item in itertools.islice(source, partition_size)]
            if not partition:
                break
            futures.append((submit(partition), partition))
        if not futures:
            return
        future, partition = futures.popleft()
        yield from result_of(future, partition)
