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
from korvane.batch.pool import pool_map
from korvane.batch.compound_files import Item
from korvane.batch.record import predict_record

SMALL = ["CCO", "Clc1ccccc1", "CC(=O)Cl", "C1CC", "O=C=O", "CC(C)=O", "c1ccncc1", "CCN"]
C200 = "C" * 200  # recursive fragmentation of it takes seconds


def _killing_task(item, options):
    """The analysis, except that the worker holding "KILL" is killed with SIGKILL."""
    if item.smiles == "KILL":
        os.kill(os.getpid(), signal.SIGKILL)
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
    # The budget lets C200 in (its estimate with recursion is 134 MB) and keeps C400 out
    # (475 MB).
    monkeypatch.setattr(korvane, "MAX_ANALYSIS_BYTES", 200_000_000)
    batch = ["CCO", "C1CC", "Clc1ccccc1", "*C", "C" * 400, "KILL", C200, "CC(=O)Cl", "O"]
    got = list(pool_map(_items(batch), _killing_task, {}, jobs=2, chunk_size=4, timeout=1.0,
                        lost=lost_record))
    assert [r["id"] for r in got] == [f"m{n}" for n in range(1, len(batch) + 1)]
    errors = {r["smiles"]: r["error"] for r in got if r["status"] == "error"}
    assert errors.keys() == {"C1CC", "*C", "C" * 400, "KILL", C200}
    assert "could not be parsed" in errors["C1CC"]
    assert "unknown element" in errors["*C"]
    assert errors["C" * 400].startswith("MemoryError")
    assert errors["KILL"] == ("WorkerDied: the worker analysing this molecule was killed "
                              "by SIGKILL")
    assert errors[C200] == "TimeoutError: the analysis took longer than 1 s"
    for n, r in enumerate(got, 1):
        if r["status"] == "ok":
            assert r == predict_record(r["smiles"], id=f"m{n}")


def _run_cli(args, **kw):
    return subprocess.Popen([sys.executable, "-m", "korvane", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **kw)


def test_ctrl_c_leaves_complete_lines_and_resume_completes_them(tmp_path):
    nci = "/usr/share/RDKit/Data/NCI/first_5K.smi"
    with open(nci) as f:
        lines = [next(f) for _ in range(40)]
    source = tmp_path / "in.smi"
    source.write_text("".join(lines) + f"{C200} long\n" + "".join(lines[:5]))
    out = tmp_path / "out.jsonl"
    args = ["predict", str(source), "--jobs", "2", "--timeout", "1", "--quiet"]
    run = _run_cli(args + ["--out", str(out)], start_new_session=True)
    deadline = time.monotonic() + 60
    while (not out.exists() or out.read_text().count("\n") < 3) and time.monotonic() < deadline:
        time.sleep(0.05)
    os.killpg(run.pid, signal.SIGINT)  # what a terminal sends on Ctrl-C: the whole group
    assert run.wait(timeout=30) == 130
    text = out.read_text()
    assert text.endswith("\n")
    kept = [json.loads(line) for line in text.splitlines()]
    assert 3 <= len(kept) < 46

    assert _run_cli(args + ["--out", str(out), "--resume"]).wait(timeout=120) == 0
    whole = tmp_path / "whole.jsonl"
    assert _run_cli(args + ["--out", str(whole)]).wait(timeout=120) == 0
    assert out.read_bytes() == whole.read_bytes()
    assert len(whole.read_text().splitlines()) == 46


def test_dask_cluster_writes_the_local_pool_file(tmp_path):
    distributed = pytest.importorskip("distributed")
    import dask
    from korvane.cli import main
    source = tmp_path / "in.smi"
    source.write_text("\n".join(SMALL) + "\n")
    local = tmp_path / "local.jsonl"
    assert main(["predict", str(source), "--out", str(local), "--jobs", "2", "--quiet"]) == 0
    # With a core to spare the command formats the records itself, not its worker.
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
