"""Threads: analyses run in a thread pool give the serial results, and the core's long
calls let other Python threads run while they work."""
import os
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from rdkit import Chem

import korvane
from korvane import _core
from korvane.vif import analysis_params

# Rings, bridged ring systems (the depiction's templates), a salt, halogens, charges,
# a heavier element and a molecule without any soft bond.
MOLECULES = [
    "CC(=O)Oc1ccccc1C(=O)O", "C1C2CC3CC1CC(C2)C3", "C12C3C4C1C5C2C3C45", "[Na+].[Cl-]",
    "CCCC[N+](C)(C)C.[Br-]", "ClC(Cl)(Cl)C(F)(F)F", "c1ccc2ccccc2c1", "CCS(=O)(=O)N",
    "OC1C2CCC(C2)C1O", "CC(C)CC(C)(C)O", "C#N", "O", "CCOC(=O)C=C", "c1ccncc1Br",
    "CC12CCC3C(CCC4=CC(=O)CCC34C)C1CCC2O", "NCC(=O)NCC(=O)O",
]


def summary(result):
    """The values of one analysis, bit for bit, in a form that compares with ==."""
    lpi = result["lpi"]
    return (
        (lpi["n+"], lpi["n0"], lpi["n-"], lpi["eigenvalues"].tobytes()),
        result["soft_bonds"], result["fragments"], result["recursive_peaks"],
        sorted(result["graph"].edges(data="weight")), result["chem_bonds"],
        {node: p.tobytes() for node, p in result["pos"].items()},
        result["mol_mass"], result["mol_mass_avg"],
    )


def analyse(smiles):
    return summary(korvane.VIF(smiles, draw=False, verbose=False, recursive_ms=True))


def test_thread_pool_gives_the_serial_results():
    serial = [analyse(s) for s in MOLECULES]
    with ThreadPoolExecutor(max_workers=4) as pool:
        threaded = list(pool.map(analyse, MOLECULES * 2))
    assert threaded == serial * 2
    # The summaries do tell molecules apart.
    assert len({repr(s[0]) for s in serial}) > len(MOLECULES) // 2


# A fresh interpreter whose first depictions (bridged ring systems among them, which
# make the coordinate generator load its templates) all run in threads at once.
FRESH_PROCESS = r"""
import sys
from concurrent.futures import ThreadPoolExecutor
sys.path.insert(0, sys.argv[1])
import test_threads as t
with ThreadPoolExecutor(max_workers=4) as pool:
    threaded = list(pool.map(t.analyse, t.MOLECULES[1:4] * 4))
serial = [t.analyse(s) for s in t.MOLECULES[1:4]] * 4
print("same" if threaded == serial else "different")
"""


def test_first_depictions_of_a_process_in_threads_give_the_serial_results():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", FRESH_PROCESS, os.path.dirname(__file__)],
                         env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split()[-1] == "same"


def _pickle(smiles):
    return Chem.AddHs(Chem.MolFromSmiles(smiles)).ToBinary()


def _graph_args(smiles):
    """(n_nodes, edges, atom_subgraphs, chem_bonds) of the core's orbital graph."""
    m = _core.prepare_vif(smiles, analysis_params(n_iter=50))
    records = [(u, v, au, av, order) for u, v, au, av, _su, _sv, order, _k in m.chem_bonds]
    return len(m.nodes), m.edges, m.atom_subgraphs, records, m


def _long_call(name):
    """A call that runs the binding `name` often enough to take a while."""
    peptide = Chem.MolToSmiles(Chem.MolFromSequence("AGSFKLDVTEYQG"))
    n_nodes, edges, subgraphs, records, m = _graph_args("CCCCCCCCCCCCCCCC(=O)O")
    mol = m.mol_pickle()
    atoms = list(range(len(subgraphs)))
    quick = analysis_params(n_iter=50, recursive_ms=True)
    baseline = tuple(_core.compute_lpi(n_nodes, edges, 1e-9)[:3])
    pairs = [(u, v) for u, v, *_ in records]
    softs = [(au, av, order) for _u, _v, au, av, order in records]
    calls = {
        "prepare_vif": lambda: _core.prepare_vif(peptide, analysis_params(n_iter=6000)),
        "fragment_vif": lambda: [_core.fragment_vif(m, quick) for _ in range(20)],
        "compute_atom_layout": lambda: _core.compute_atom_layout(_pickle("C" * 60), 3000),
        "compute_lpi": lambda: [_core.compute_lpi(n_nodes, edges, 1e-9) for _ in range(500)],
        "detect_soft_edges": lambda: [
            _core.detect_soft_edges(n_nodes, edges, pairs, baseline, 1e-9) for _ in range(20)],
        "fragment_atom_softs": lambda: [
            _core.fragment_atom_softs(n_nodes, edges, subgraphs, records, atoms, 1e-9)
            for _ in range(20)],
        "predict_fragments_recursive": lambda: [
            _core.predict_fragments_recursive(mol, n_nodes, edges, subgraphs, records, 2, 25, True)
            for _ in range(20)],
        "cut_atom_set": lambda: [_core.cut_atom_set(mol, atoms, softs, True, 25)
                                 for _ in range(500)],
    }
    return calls[name]


LONG_CALLS = ["prepare_vif", "fragment_vif", "compute_atom_layout", "compute_lpi",
              "detect_soft_edges", "fragment_atom_softs", "predict_fragments_recursive",
              "cut_atom_set"]


@pytest.mark.parametrize("name", LONG_CALLS)
def test_long_core_calls_let_other_threads_run(name):
    # With a switch interval far longer than the test, a thread gives the interpreter
    # lock up only when it blocks or when C++ code releases it. The worker holds it from
    # `started` until its call releases it; so the main thread, woken by `started`, runs
    # before the worker has finished only if the core released the lock inside the call.
    # Holding it would let the main thread in only after the last call.
    call = _long_call(name)
    state = {"done": False}
    started = threading.Event()

    def work():
        started.set()
        call()
        state["done"] = True

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        worker = threading.Thread(target=work)
        worker.start()
        started.wait()
        ran_during_the_call = not state["done"]
        worker.join()
    finally:
        sys.setswitchinterval(old)
    assert state["done"]
    assert ran_during_the_call, f"{name} kept the interpreter lock while it worked"


# AddressSanitizer's allocator keeps its locks across fork(): a child forked while another
# thread allocates may wait for one of them forever, before any of korvane's code runs.
_SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(_SANITIZED, reason="AddressSanitizer's allocator is not fork-safe")
def test_child_forked_during_a_depiction_can_analyse():
    # A thread depicts C300H602 (above a second) while the main thread forks: the child
    # must find the depiction's lock free and analyse, however the fork met the thread.
    started = threading.Event()

    def depict():
        started.set()
        korvane.VIF("C" * 300, draw=False, verbose=False)

    worker = threading.Thread(target=depict)
    worker.start()
    started.wait()
    time.sleep(0.3)  # past the parsing, into the depiction
    pid = os.fork()
    if pid == 0:  # the child: one analysis, then out without the parent's clean-up
        try:
            lpi = korvane.VIF("CCO", draw=False, verbose=False)["lpi"]
            os._exit(0 if (lpi["n+"], lpi["n0"], lpi["n-"]) == (9, 0, 9) else 1)
        except BaseException:
            os._exit(2)
    reaped = False
    try:
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                reaped = True
                assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
                break
            time.sleep(0.05)
        else:
            pytest.fail("the forked child did not finish its analysis in 120 s")
    finally:
        if not reaped:  # a child still waiting (for a lock no thread of it holds) is ended
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        worker.join()
