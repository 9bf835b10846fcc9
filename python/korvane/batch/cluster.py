"""Batches on a Dask cluster: partitions of molecules as Dask tasks, results in input order."""
import itertools
from collections import deque

from .pool import tune_allocator


def run_partition(partition, task, options):
    """Returns [task(item, options) for each item]: one Dask task's work."""
    tune_allocator()
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
