"""Properties of VIF over arbitrary input: any text, and real SMILES with characters
inserted, deleted or replaced, gives a result, the parse-failure text or a documented
error; never a crash or a hang; and the same input always gives the same outcome."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from rdkit import RDLogger

import korvane
from korvane import references
from korvane.vif import PARSE_FAILURE

# Derandomized, so CI and a developer see the same examples; no deadline, since a
# molecule's analysis time grows with its size; no example database to drift between runs.
_SETTINGS = dict(derandomize=True, deadline=None, database=None,
                 suppress_health_check=[HealthCheck.too_slow])

_REAL_SMILES = sorted({row[1] for row in references.LPI_REFERENCES}
                      | {row[1] for row in references.HALOGEN_TESTS}
                      | {references.tnt, references.diborane, references.dimethyllithium,
                         references.benzaldehyde_imine, references.acetone_oxime,
                         "C[C@H](N)C(=O)O", "[Na+].[Cl-]", "c1ccc2ccccc2c1", "[2H]C([2H])=O"})

# The characters of SMILES: elements, bonds, branches, rings, charges, isotopes, stereo.
_SMILES_CHARS = "CNOSPFIHBrcnospl[]()=#$:@+-./\\%0123456789*LiNaeSK"

_KEYS = ("lpi", "soft_bonds", "fragments", "real_fragments", "single_fragments",
         "ringcut_fragments", "ring_soft_bonds", "recursive_peaks", "graph", "chem_bonds",
         "atom_subgraphs", "pos", "mol_mass", "mol_mass_avg")


@pytest.fixture(autouse=True, scope="module")
def _quiet_rdkit():
    """RDKit logs every SMILES it cannot parse; thousands of examples would flood the log."""
    RDLogger.DisableLog("rdApp.*")
    yield
    RDLogger.EnableLog("rdApp.*")


@st.composite
def mutated_smiles(draw):
    """A real SMILES with one to four characters inserted, deleted or replaced."""
    chars = list(draw(st.sampled_from(_REAL_SMILES)))
    for _ in range(draw(st.integers(1, 4))):
        op = draw(st.sampled_from(("insert", "delete", "replace")))
        at = draw(st.integers(0, len(chars)))
        if op == "insert":
            chars.insert(at, draw(st.sampled_from(_SMILES_CHARS)))
        elif chars:
            at = min(at, len(chars) - 1)
            if op == "delete":
                del chars[at]
            else:
                chars[at] = draw(st.sampled_from(_SMILES_CHARS))
    return "".join(chars)


_ANY_TEXT = st.one_of(st.text(max_size=30), st.text(alphabet=_SMILES_CHARS, max_size=30))


def _outcome(smiles, **kw):
    """VIF's outcome as plain comparable data: ("result", ...), ("failure",) or
    ("ValueError", message). Any other exception fails the property."""
    try:
        r = korvane.VIF(smiles, draw=False, verbose=False, **kw)
    except ValueError as e:
        # The one documented error of a string SMILES: an element without a period.
        assert str(e).startswith("unknown element symbol '"), e
        return ("ValueError", str(e))
    if r == PARSE_FAILURE:
        return ("failure",)
    assert isinstance(r, dict) and tuple(r) == _KEYS
    _check_result(r)
    H = r["graph"]
    return ("result",
            (r["lpi"]["n+"], r["lpi"]["n0"], r["lpi"]["n-"]), r["lpi"]["eigenvalues"].tolist(),
            sorted(H.nodes(data=True)), sorted(H.edges(data=True)),
            [(k, v.tolist()) for k, v in r["pos"].items()], r["chem_bonds"],
            r["soft_bonds"], r["fragments"], r["recursive_peaks"], r["mol_mass"],
            r["mol_mass_avg"])


def _check_result(r):
    """Invariants of any result: one eigenvalue per node, finite and ascending; counts that
    add up; finite positions; soft bonds drawn from the bond records."""
    H, lpi = r["graph"], r["lpi"]
    ev = lpi["eigenvalues"]
    assert lpi["n+"] + lpi["n0"] + lpi["n-"] == H.number_of_nodes() == len(ev)
    assert np.all(np.isfinite(ev)) and np.all(np.diff(ev) >= 0)
    assert all(np.all(np.isfinite(p)) and p.shape == (2,) for p in r["pos"].values())
    assert set(r["pos"]) == set(H.nodes)
    assert all(any(s is c for c in r["chem_bonds"]) for s in r["soft_bonds"])
    assert math.isfinite(r["mol_mass_avg"]) and r["mol_mass"] > 0


@settings(max_examples=200, **_SETTINGS)
@given(_ANY_TEXT)
def test_any_text_gives_an_outcome_and_the_same_one_again(text):
    assert _outcome(text) == _outcome(text)


@settings(max_examples=200, **_SETTINGS)
@given(mutated_smiles())
def test_mutated_smiles_give_an_outcome_and_the_same_one_again(smiles):
    assert _outcome(smiles) == _outcome(smiles)


@settings(max_examples=40, **_SETTINGS)
@given(mutated_smiles())
def test_mutated_smiles_survive_recursive_and_ring_fragmentation(smiles):
    kw = dict(recursive_ms=True, ring_fragmentation=True, max_generations=2)
    first = _outcome(smiles, **kw)
    assert first == _outcome(smiles, **kw)
    if first[0] == "result":
        peaks = first[9]
        assert next(iter(peaks)) == first[10]  # the molecule itself is the first peak


@settings(max_examples=40, **_SETTINGS)
@given(st.one_of(st.none(), st.integers(), st.floats(), st.binary(max_size=10),
                 st.lists(st.text(max_size=3), max_size=3)))
def test_anything_but_a_string_is_a_type_error(value):
    with pytest.raises(TypeError, match=r"^VIF\(\) expects the SMILES as a str, not "):
        korvane.VIF(value, draw=False, verbose=False)


def test_the_documented_outcomes_all_occur():
    # The properties above are only as strong as the outcomes their examples reach.
    assert _outcome("CC(=O)O")[0] == "result"
    assert _outcome("C1CC")[0] == "failure"
    assert _outcome("C*C")[0] == "ValueError"
    assert _outcome("")[0] == "failure"
