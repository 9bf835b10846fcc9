"""Batches: input order, faults that cost one molecule each, Ctrl-C, resume and Dask."""
import json
import os
import signal
import time

import pytest

import korvane
from korvane.batch import analyse_item, lost_record
from korvane.batch.cluster import dask_map
from korvane.batch.pool import pool_map
from korvane.batch.compound_files import Item
from korvane.batch.record import predict_record

from cli_processes import finish, interrupt_while_reading, run_cli

SMALL = ["CCO", "Clc1ccccc1", "CC(=O)Cl", "C1CC", "O=C=O", "CC(C)=O", "c1ccncc1", "CCN"]


def _killing_task(item, options):
    """The analysis, except that the worker holding "KILL" is killed with SIGKILL and the
    one holding "SLEEP" overruns any time-out of the tests."""
    if item.smiles == "KILL":
        os.kill(os.getpid(), signal.SIGKILL)
    if item.smiles == "SLEEP":
        time.sleep(60)
    return analyse_item(item, options)


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
