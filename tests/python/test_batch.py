"""Batches: input order, faults that cost one molecule each, Ctrl-C, resume and Dask."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

import korvane
from korvane.batch import analyse_item, lost_record
from korvane.batch.cluster import dask_map
from korvane.batch.pool import default_jobs, pool_map
from korvane.batch.compound_files import Item
from korvane.batch.record import predict_record

from cli_processes import finish, interrupt_while_reading, run_cli, wait_for_lines

SMALL = ["CCO", "Clc1ccccc1", "CC(=O)Cl", "C1CC", "O=C=O", "CC(C)=O", "c1ccncc1", "CCN"]


def _killing_task(item, options):
    """The analysis, except that the worker holding "KILL" is killed with SIGKILL and the
    one holding "SLEEP" overruns any time-out of the tests."""
    if item.smiles == "KILL":
        os.kill(os.getpid(), signal.SIGKILL)
    if item.smiles == "SLEEP":
        time.sleep(60)
    return analyse_item(item, options)


def _helpers_task(item, options):
    from korvane._settings import helper_threads
    return helper_threads()


def _items(smiles):
    return [Item(n, f"m{n}", s, None) for n, s in enumerate(smiles, 1)]


def test_records_come_in_input_order_for_every_pool_size():
    expected = [predict_record(s, id=f"m{n}") for n, s in enumerate(SMALL, 1)]
    for jobs, chunk in ((1, 16), (2, 1), (3, 2)):
        got = list(pool_map(_items(SMALL), analyse_item, {}, jobs=jobs, chunk_size=chunk,
                            lost=lost_record))
        assert got == expected


def test_each_fault_costs_only_its_own_molecule(monkeypatch):
    # The budget keeps C400 out (475 MB with recursion). Each worker holds up to two
    # chunks: a fault costs the molecule under way, and the rest of both go again.
    monkeypatch.setattr(korvane, "MAX_ANALYSIS_BYTES", 200_000_000)
    batch = ["CCO", "C1CC", "Clc1ccccc1", "*C", "C" * 400, "KILL", "SLEEP", "CC(=O)Cl", "O",
             "CCN", "KILL", "c1ccncc1", "CC(C)=O", "SLEEP", "O=C=O", "CCCl"]
    got = list(pool_map(_items(batch), _killing_task, {}, jobs=2, chunk_size=2, timeout=1.0,
                        lost=lost_record))
    assert [r["id"] for r in got] == [f"m{n}" for n in range(1, len(batch) + 1)]
    errors = {r["id"]: r["error"] for r in got if r["status"] == "error"}
    assert errors.keys() == {"m2", "m4", "m5", "m6", "m7", "m11", "m14"}
    assert "could not be parsed" in errors["m2"]
    assert "unknown element" in errors["m4"]
    assert errors["m5"].startswith("MemoryError")
    for killed in ("m6", "m11"):
        assert errors[killed] == ("WorkerDied: the worker analysing this molecule was killed "
                                  "by SIGKILL")
    for slow in ("m7", "m14"):
        assert errors[slow] == "TimeoutError: the analysis took longer than 1 s"
    for n, r in enumerate(got, 1):
        if r["status"] == "ok":
            assert r == predict_record(r["smiles"], id=f"m{n}")


@pytest.mark.timeout(60)
def test_an_answer_read_with_the_death_that_follows_it_is_kept():
    # While the caller holds the first record, the worker answers "CCO" and dies on the
    # next molecule: the pool reads that answer and the pipe's end together.
    results = pool_map(_items(["O", "CCO", "KILL", "CCN"]), _killing_task, {}, jobs=1,
                       chunk_size=4, lost=lost_record)
    first = next(results)
    time.sleep(1.0)
    got = [first] + list(results)
    assert [r["status"] for r in got] == ["ok", "ok", "error", "ok"]
    assert got[1] == predict_record("CCO", id="m2")
    assert got[2]["error"].startswith("WorkerDied")


def test_workers_leave_helper_threads_off_only_when_they_fill_every_cpu():
    cpus = default_jobs()
    for jobs, helpers in ((cpus, False), (cpus + 1, False), (cpus - 1, True)):
        if jobs >= 1:
            got = list(pool_map(_items(SMALL[:3]), _helpers_task, {}, jobs=jobs, chunk_size=1))
            assert got == [helpers] * 3, jobs


_WHO_STARTS_THE_WORKERS = """
import os, sys, threading
from korvane.batch import analyse_item, lost_record
from korvane.batch.compound_files import Item
from korvane.batch.pool import pool_map
if sys.argv[1] == "threaded":
    threading.Thread(target=threading.Event().wait, daemon=True).start()
items = [Item(n, f"m{n}", s, None) for n, s in enumerate(["CCO", "CCN", "O", "CC"], 1)]
results = pool_map(items, analyse_item, {}, jobs=2, chunk_size=1, lost=lost_record)
first = next(results)
me = os.getpid()
def command(pid):
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        return f.read()
children = open(f"/proc/{me}/task/{me}/children").read().split()
print(sum(command(c) == command(me) for c in children))  # forks of this process
print([r["status"] for r in [first, *results]])
"""


@pytest.mark.timeout(120)
def test_workers_are_forks_of_a_caller_without_threads_and_of_a_server_otherwise():
    for mode, forks in (("alone", 2), ("threaded", 0)):
        out = subprocess.run([sys.executable, "-c", _WHO_STARTS_THE_WORKERS, mode],
                             capture_output=True, text=True, timeout=100)
        assert out.returncode == 0, out.stderr
        # Alone, its two workers are forks of it; with a thread, forks of the fork server.
        assert out.stdout.split("\n")[:2] == [str(forks), "['ok', 'ok', 'ok', 'ok']"]


def _gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


@pytest.mark.timeout(120)
def test_workers_end_when_the_command_is_killed(tmp_path):
    nci = "/usr/share/RDKit/Data/NCI/first_5K.smi"
    source, out = tmp_path / "in.smi", tmp_path / "out.jsonl"
    with open(nci) as f:
        source.write_text("".join(f.readlines()[:3000]))
    run = run_cli(["predict", str(source), "--out", str(out), "--jobs", "2", "--quiet"],
                  start_new_session=True)
    try:
        wait_for_lines(out, 20, run)
        with open(f"/proc/{run.pid}/task/{run.pid}/children") as f:
            workers = [int(p) for p in f.read().split()]
        assert len(workers) == 2
        run.kill()
        run.wait()
        deadline = time.monotonic() + 30
        while not all(_gone(w) for w in workers) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert all(_gone(w) for w in workers)
    finally:
        try:
            os.killpg(run.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        run.wait()


def test_ctrl_c_leaves_complete_lines_and_resume_completes_them(tmp_path):
    nci = "/usr/share/RDKit/Data/NCI/first_5K.smi"
    with open(nci) as f:
        lines = [next(f) for _ in range(40)]
    whole_input = tmp_path / "in.smi"
    whole_input.write_text("".join(lines) + "".join(lines[:5]))
    out = tmp_path / "out.jsonl"
    # No time limit: which molecule overruns one would depend on the machine's load.
    args = ["--jobs", "2", "--chunk-size", "4", "--quiet"]
    status = interrupt_while_reading(
        ["predict", str(tmp_path / "in_pipe.smi"), "--out", str(out)] + args,
        tmp_path / "in_pipe.smi", "".join(lines[:20]), out, 3)
    assert status == 130
    text = out.read_text()
    assert text.endswith("\n")
    kept = [json.loads(line) for line in text.splitlines()]
    assert 3 <= len(kept) <= 20

    run = ["predict", str(whole_input)] + args
    assert finish(run_cli(run + ["--out", str(out), "--resume"]), 180) == 0
    whole = tmp_path / "whole.jsonl"
    assert finish(run_cli(run + ["--out", str(whole)]), 180) == 0
    assert out.read_bytes() == whole.read_bytes()
    assert len(whole.read_text().splitlines()) == 45


def test_dask_cluster_writes_the_local_pool_file(tmp_path):
    distributed = pytest.importorskip("distributed")
    import dask
    from korvane.cli import main
    source = tmp_path / "in.smi"
    source.write_text("\n".join(SMALL) + "\n")
    local = tmp_path / "local.jsonl"
    assert main(["predict", str(source), "--out", str(local), "--jobs", "2", "--quiet"]) == 0
    # One worker writes the same lines as two.
    one = tmp_path / "one.jsonl"
    assert main(["predict", str(source), "--out", str(one), "--jobs", "1", "--quiet"]) == 0
    assert one.read_bytes() == local.read_bytes()
    # A partition is given up at its first lost worker, so that the test sees the split
    # into single molecules without waiting for the scheduler's retries.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     host="127.0.0.1", dashboard_address=None,
                                     local_directory=str(tmp_path / "dask")) as cluster:
        remote = tmp_path / "remote.jsonl"
        assert main(["predict", str(source), "--out", str(remote), "--quiet",
                     "--scheduler", cluster.scheduler_address]) == 0
        assert remote.read_bytes() == local.read_bytes()
        with distributed.Client(cluster) as client:
            pairs = [(f"id{n}", s) for n, s in enumerate(SMALL + SMALL)]
            got = list(korvane.predict_many(pairs, client=client, partition_size=3))
            lost = list(dask_map(_items(["CCO", "KILL", "O"]), _killing_task, {}, client,
                                 partition_size=3, lost=lost_record))
    assert got == [predict_record(s, id=i) for i, s in pairs]
    assert [r["status"] for r in lost] == ["ok", "error", "ok"]
    assert lost[1]["error"].startswith("WorkerDied") and lost[2] == predict_record("O", id="m3")
