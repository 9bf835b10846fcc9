"""Limits of an analysis: the memory budget, Ctrl-C, and parameters that are not numbers."""
import math
import os
import queue
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import korvane
from korvane.vif import PARSE_FAILURE


def _nodes(smiles):
    return korvane.VIF(smiles, draw=False, verbose=False)["graph"].number_of_nodes()


# --- memory budget ------------------------------------------------------------------------

def test_default_budget_is_four_gib():
    assert korvane.MAX_ANALYSIS_BYTES == 4 * 2**30


def test_lowered_budget_refuses_vif_with_nodes_and_bytes(monkeypatch):
    n = _nodes("CCO")  # 2 carbons and an oxygen of 4 nodes, 6 hydrogens of 1
    assert n == 18
    need = korvane._core.analysis_memory_estimate("CCO")
    monkeypatch.setattr(korvane, "MAX_ANALYSIS_BYTES", need)
    assert isinstance(korvane.VIF("CCO", draw=False, verbose=False), dict)
    monkeypatch.setattr(korvane, "MAX_ANALYSIS_BYTES", need - 1)
    with pytest.raises(MemoryError) as err:
        korvane.VIF("CCO", draw=False, verbose=False)
    msg = str(err.value)
    assert "9 atoms with 18 orbital nodes" in msg
    assert f"{need} bytes" in msg
    assert "korvane.MAX_ANALYSIS_BYTES" in msg


def test_default_budget_refuses_long_polyethylene_at_once():
    # C6000H12002: 36002 orbital nodes, dense matrices of 10 GB each. The count is made
    # from the parsed molecule, before the hydrogens: refused in milliseconds (the bound
    # below is twenty times what it takes).
    start = time.monotonic()
    with pytest.raises(MemoryError, match=r"18002 atoms with 36002 orbital nodes needs \d+ bytes"):
        korvane.VIF("C" * 6000, draw=False, verbose=False)
    assert time.monotonic() - start < 1.0


_PEAK_CHILD = textwrap.dedent("""
    import sys
    import korvane
    def resident(field):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))
    korvane.VIF("CCO", draw=False, verbose=False, recursive_ms=True)  # the set-up, first
    before = resident("VmRSS:")
    try:
        korvane.VIF(sys.stdin.read(), draw=False, verbose=False, recursive_ms=sys.argv[1] == "1")
    except MemoryError:
        pass
    print(resident("VmHWM:") - before)
""")


def _peak_growth(smiles, recursive=False):
    """Peak resident bytes an analysis added to a fresh interpreter's (which has made one
    small analysis first)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", _PEAK_CHILD, "1" if recursive else "0"],
                          input=smiles, capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stderr
    return int(done.stdout.split()[-1])


# AddressSanitizer's allocator (red zones, a quarantine of freed blocks, shadow memory) adds
# to every allocation, so resident memory under it says nothing of the analysis's own.
_SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(_SANITIZED, reason="resident memory under AddressSanitizer is its own")
@pytest.mark.parametrize("recursive", [False, True])
def test_memory_estimate_covers_the_analysis_at_its_peak(recursive):
    # C150H302: the depiction's memory, quadratic in the atoms, is as large as the dense
    # matrices', and neither is small against the rest.
    smiles = "C" * 150
    assert _peak_growth(smiles, recursive) <= korvane._core.analysis_memory_estimate(
        smiles, recursive)


def test_huge_molecule_is_refused_before_its_hydrogens():
    # A million carbons: parsing holds about half a gigabyte; the two million hydrogens
    # would bring the molecule to well over a gigabyte before any check after them.
    assert _peak_growth("C" * 10**6) < 2**30


def test_raised_budget_is_read_at_call_time(monkeypatch):
    monkeypatch.setattr(korvane, "MAX_ANALYSIS_BYTES", 100)
    with pytest.raises(MemoryError):
        korvane.VIF("O", draw=False, verbose=False)
    monkeypatch.setattr(korvane, "MAX_ANALYSIS_BYTES", 10**40)  # beyond 64 bits: no limit
    assert korvane.VIF("O", draw=False, verbose=False)["lpi"]["n+"] == 3


def test_every_dense_entry_checks_the_budget(monkeypatch):
    r = korvane.VIF("CC(=O)Cl", draw=False, verbose=False, recursive_ms=True)
    H, chem_bonds, subgraphs = r["graph"], r["chem_bonds"], r["atom_subgraphs"]
    mol = korvane._analyse("CC(=O)Cl")["mol"]
    edges_before = list(H.edges(data=True))
    monkeypatch.setattr(korvane, "MAX_ANALYSIS_BYTES", 1000)
    calls = {
        "compute_lpi": lambda: korvane.compute_lpi(H),
        "detect_soft_bonds": lambda: korvane.detect_soft_bonds(H, chem_bonds, r["lpi"]),
        "predict_fragments_recursive": lambda: korvane.predict_fragments_recursive(
            mol, H, subgraphs, chem_bonds),
        "_fragment_atom_softs": lambda: korvane._fragment_atom_softs(
            H, subgraphs, chem_bonds, range(mol.GetNumAtoms())),
        # The benchmarks' direct test, one decomposition per candidate, given the budget
        # as the package reads it.
        "detect_soft_edges_direct": lambda: korvane._core.detect_soft_edges_direct(
            H.number_of_nodes(), [(0, 1, 1.0)], [(0, 1)], (1, 0, 1), 1e-9,
            korvane._settings.max_analysis_bytes()),
    }
    for name, call in calls.items():
        with pytest.raises(MemoryError, match="orbital nodes"):
            call()
    # Refused before the soft-bond test edits the graph: edges and their order unchanged.
    assert list(H.edges(data=True)) == edges_before
    # A fragment small enough fits the same budget: a lone hydrogen atom has one node.
    h = next(a for a in range(mol.GetNumAtoms()) if mol.GetAtomWithIdx(a).GetSymbol() == "H")
    assert korvane._fragment_atom_softs(H, subgraphs, chem_bonds, [h]) == []


@pytest.mark.parametrize("value, error, match", [
    ("4 GiB", TypeError, "must be an integer number of bytes, not str"),
    (4.0e9, TypeError, "not float"),
    (-1, ValueError, "must not be negative"),
])
def test_budget_of_the_wrong_kind_is_reported(monkeypatch, value, error, match):
    monkeypatch.setattr(korvane, "MAX_ANALYSIS_BYTES", value)
    with pytest.raises(error, match=match):
        korvane.VIF("O", draw=False, verbose=False)


def test_budget_accepts_numpy_integers(monkeypatch):
    monkeypatch.setattr(korvane, "MAX_ANALYSIS_BYTES", np.int64(10**6))
    assert isinstance(korvane.VIF("O", draw=False, verbose=False), dict)


# --- Ctrl-C -------------------------------------------------------------------------------

_CHILD = textwrap.dedent("""
    import signal, sys
    # A parent that ignores SIGINT (a background job) would pass that on: take Python's own.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    import korvane
    from rdkit import Chem
    print("started", flush=True)
    try:
        ANALYSIS
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
        lpi = korvane.VIF("CCO", draw=False, verbose=False)["lpi"]
        print("after", lpi["n+"], lpi["n0"], lpi["n-"], flush=True)
        sys.exit(0)
    print("finished", flush=True)
    sys.exit(3)
""")


def _read_lines(stream, q):
    for line in stream:
        q.put((time.monotonic(), line.strip()))
    q.put((time.monotonic(), None))


def _next_line(q, timeout):
    try:
        return q.get(timeout=timeout)
    except queue.Empty:
        pytest.fail(f"no line from the child within {timeout} s")


_ANALYSES = {
    # Polyglycine of 50 residues (353 atoms): half a minute of three-generation analysis,
    # after a depiction of a fifth of a second.
    "recursion": 'korvane.VIF(Chem.MolToSmiles(Chem.MolFromSequence("G" * 50)), draw=False, '
                 'verbose=False, recursive_ms=True, max_generations=3)',
    # C700H1402 (2102 atoms): RDKit's depiction alone takes ten seconds.
    "depiction": 'korvane.VIF("C" * 700, draw=False, verbose=False)',
}


@pytest.mark.parametrize("stage", sorted(_ANALYSES))
def test_ctrl_c_stops_a_long_analysis(stage):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    code = _CHILD.replace("ANALYSIS", _ANALYSES[stage])
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        lines = queue.Queue()
        threading.Thread(target=_read_lines, args=(child.stdout, lines), daemon=True).start()
        assert _next_line(lines, 120)[1] == "started"
        time.sleep(1.0)
        assert child.poll() is None, "the analysis ended before the signal"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        stopped, line = _next_line(lines, 30)
        assert line == "KeyboardInterrupt", child.stderr.read()
        # The goal is a second (0.1 to 1.0 s measured in the ordinary build, the longest
        # step being one eigen-decomposition or RDKit's depiction); the bound leaves room
        # for a loaded machine and the sanitizers, and the analysis itself runs minutes.
        assert stopped - sent < 5.0
        # The module works on afterwards and gives the usual result (after a depiction
        # left behind, once that has let the generator go).
        assert _next_line(lines, 120)[1] == "after 9 0 9"
        assert child.wait(timeout=30) == 0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


# --- parameters that are not numbers --------------------------------------------------------

@pytest.mark.parametrize("name", ["bond_kappa", "target_bond_len", "radius_ratio"])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_non_finite_parameters_are_refused_by_name(name, value):
    with pytest.raises(ValueError, match=rf"^{name} must be a finite number, got "):
        korvane.VIF("CCO", draw=False, verbose=False, **{name: value})


@pytest.mark.parametrize("name", ["n_iter", "max_generations"])
@pytest.mark.parametrize("value", ["600", 2.5, None, 10**12])
def test_integer_parameters_of_the_wrong_kind(name, value):
    with pytest.raises(TypeError, match=rf"^VIF\(\) expects {name} as a 32-bit integer, not "):
        korvane.VIF("CCO", draw=False, verbose=False, recursive_ms=True, **{name: value})


@pytest.mark.parametrize("name", ["bond_kappa", "target_bond_len", "radius_ratio"])
def test_real_parameters_of_the_wrong_kind(name):
    with pytest.raises(TypeError, match=rf"^VIF\(\) expects {name} as a real number, not str"):
        korvane.VIF("CCO", draw=False, verbose=False, **{name: "0.9"})


def test_numpy_numbers_still_work():
    plain = korvane.VIF("CCO", draw=False, verbose=False, n_iter=50, recursive_ms=True)
    numpy = korvane.VIF("CCO", draw=False, verbose=False, n_iter=np.int64(50),
                        recursive_ms=True, max_generations=np.int32(2), bond_kappa=np.float64(0.9))
    assert plain["recursive_peaks"] == numpy["recursive_peaks"]
    assert np.array_equal(plain["lpi"]["eigenvalues"], numpy["lpi"]["eigenvalues"])


def test_text_that_is_not_unicode_is_no_smiles():
    assert korvane.VIF("C\ud800C", draw=False, verbose=False) == PARSE_FAILURE


@pytest.mark.parametrize("smiles", ["C\u2603CCCC", "CC\u00d6CCC", "CCO\x00CCCC", "C\u200bCCC"],
                         ids=["snowman", "umlaut", "NUL", "zero-width space"])
def test_smiles_holding_nul_or_non_ascii_is_no_smiles(smiles):
    # Regression: the parser stopped at the first character it could not read, and the
    # molecule before it (methane, ethane, ethanol, methane) was analysed instead.
    assert korvane.VIF(smiles, draw=False, verbose=False) == PARSE_FAILURE
    assert korvane.VIF(smiles, draw=False, verbose=False, recursive_ms=True) == PARSE_FAILURE


@pytest.mark.parametrize("value", [1e300, -1.0, 0.0])
def test_target_bond_len_outside_its_range_is_refused(value):
    # Regression: 1e300 gave NaN for every node position.
    with pytest.raises(ValueError, match=r"^target_bond_len must lie in \[0\.001, 1000\.0\], got "):
        korvane.VIF("CCO", draw=False, verbose=False, target_bond_len=value)
