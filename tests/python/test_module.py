"""The module surface: signatures and defaults, constants, aliases, import and main program."""
import importlib
import inspect
import os
import subprocess
import sys

import pytest

import korvane

E = inspect.Parameter.empty
SIGNATURES = {
    "_get_period": [("symbol", E)],
    "_angle_diff": [("a", E), ("b", E)],
    "_symmetry_classes": [("mol", E)],
    "_radial_equalize": [("coords", E), ("groups", E)],
    "_pca_align": [("coords", E)],
    "_enforce_mirror": [("coords", E), ("ranks", E), ("axis", E), ("eps", 0.05)],
    "compute_atom_layout": [("mol", E), ("n_iter", 600), ("target_bond_len", 1.5),
                            ("repulsion_factor", 1.2), ("k_attr", 0.06), ("k_rep", 0.05)],
    "_yerlestir_dugumler": [("n_nodes", E), ("target_angles", E)],
    "compute_lpi": [("graph", E), ("tol", 1e-9), ("weight", "weight")],
    "detect_soft_bonds": [("graph", E), ("chem_bonds", E), ("baseline_lpi", E), ("tol", 1e-9)],
    "_fragment_formula": [("mol", E), ("atom_indices", E)],
    "_pair_label": [("mol", E), ("i", E), ("j", E)],
    "_nominal_atom_mass": [("atomic_num", E)],
    "_nominal_mass": [("mol", E), ("indices", E)],
    "predict_fragments": [("mol", E), ("soft_bonds", E), ("ring_fragmentation", False),
                          ("min_ring_fragment_mz", 30)],
    "_fragment_atom_softs": [("H", E), ("atom_subgraphs", E), ("chem_bonds", E),
                             ("atom_set", E), ("tol", 1e-9)],
    "_cut_atom_set": [("mol", E), ("atom_set", E), ("softs", E), ("ring_fragmentation", E),
                      ("min_mz", E)],
    "predict_fragments_recursive": [("mol", E), ("H", E), ("atom_subgraphs", E),
                                    ("chem_bonds", E), ("max_generations", 3), ("min_mz", 25),
                                    ("ring_fragmentation", True)],
    "_build_bond_orders": [("mol", E)],
    "plot_mass_spectrum": [("smiles", E), ("mol_mass", E), ("fragments", E), ("ax", None)],
    "VIF": [("smiles", E), ("n_iter", 600), ("target_bond_len", 1.5), ("radius_ratio", 0.23),
            ("show_spectrum", True), ("bond_kappa", 0.9), ("draw", True), ("verbose", True),
            ("ring_fragmentation", False), ("recursive_ms", False), ("max_generations", 2)],
    "fetch_smiles_from_pubchem": [("query", E), ("by", "name"), ("timeout", 20)],
    "VIF_from_pubchem": [("query", E), ("by", "name"), ("vif_kwargs", E)],
    "VIF_panel": [("molecules", None), ("by", "name"), ("cols", 5), ("save", None),
                  ("node_size", 60), ("bond_kappa", 0.9)],
    "VIF_ms_panel": [("molecules", None), ("by", "name"), ("cols", 2), ("save", None),
                     ("ring_fragmentation", False), ("recursive_ms", False)],
    "triple_group_demo": [("smiles", "N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl"),
                          ("save_prefix", "/tmp/vif_kombine")],
    "halogen_test": [("molekuller", None), ("panel_n", 4), ("save", "/tmp/vif_halojen.png")],
    "validate": [("verbose", True)],
    "predict_record": [("smiles", E), ("id", None), ("recursive_ms", True),
                       ("ring_fragmentation", True), ("max_generations", 2),
                       ("largest_component", False), ("bond_kappa", 0.9), ("timings", False)],
    "predict_many": [("inputs", E), ("jobs", None), ("client", None), ("timeout", None),
                     ("partition_size", None), ("options", E)],
}


def test_every_function_has_its_parameters_and_defaults():
    for name, expected in SIGNATURES.items():
        params = list(inspect.signature(getattr(korvane, name)).parameters.values())
        assert [(p.name, p.default) for p in params] == expected, name
        # The same types too (600, not 600.0 or a NumPy scalar), so help() shows the table.
        assert [type(p.default) for p in params] == [type(d) for _, d in expected], name
        kinds = {p.kind for p in params}
        if name in ("VIF_from_pubchem", "predict_many"):
            assert params[-1].kind is inspect.Parameter.VAR_KEYWORD
            kinds.discard(inspect.Parameter.VAR_KEYWORD)
        assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}, name
    assert korvane._get_period.cache_info().maxsize is None


def test_bad_calls_raise_type_errors_naming_the_function():
    with pytest.raises(TypeError, match="VIF"):
        korvane.VIF()
    with pytest.raises(TypeError, match="compute_lpi"):
        korvane.compute_lpi(None, 1e-9, "weight", "extra")
    with pytest.raises(TypeError, match="predict_fragments"):
        korvane.predict_fragments(None, [], colour=1)


def test_constants_tables_and_aliases():
    assert korvane.PUBCHEM_REST.startswith("https://")
    assert korvane.PUBCHEM_REST.endswith("/rest/pug/compound")
    assert len(korvane.BIOMOLECULES) == 10 and korvane.BIOMOLECULES[0] == "water"
    assert len(korvane.HALOGEN_TESTS) == 12 and len(korvane.LPI_REFERENCES) == 11
    assert len(korvane.MS_REFERENCES) == 2
    for alias, name in [("CO", "methanol"), ("NB", "nitrobenzene"), ("DNB", "dnb"),
                        ("TNB", "tnb"), ("TNT", "tnt"), ("H2O", "h2o"), ("CO2", "co2"),
                        ("CCl4", "ccl4")]:
        assert getattr(korvane, alias) is getattr(korvane, name)
    assert korvane.diborane == "[H]B1([H])[H][B]([H])([H])[H]1"
    assert korvane.element("Br").period == 4


def test_importing_again_gives_the_same_module_and_objects():
    again = importlib.import_module("korvane")
    assert again is korvane
    assert again.LPI_REFERENCES is korvane.LPI_REFERENCES
    assert again._NOMINAL_ISOTOPE is korvane.massspec._NOMINAL_ISOTOPE


def _run(code_or_args, **env):
    e = dict(os.environ, MPLBACKEND="Agg", **env)
    return subprocess.run([sys.executable, *code_or_args], capture_output=True, text=True,
                          env=e, timeout=300)


def _assert_prints_ok(code):
    """Runs `code` in a fresh interpreter, which must succeed and print only "ok"."""
    res = _run(["-c", code])
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == "ok"


def test_import_does_no_analysis_and_no_network():
    code = ("import socket\n"
            "def refuse(*a, **k): raise AssertionError('network at import')\n"
            "socket.socket.connect = refuse\n"
            "import korvane\n"
            "assert korvane._NOMINAL_ISOTOPE == {}\n"
            "assert korvane._get_period.cache_info().currsize == 0\n"
            "import sys; assert 'requests' not in sys.modules\n"
            "print('ok')\n")
    _assert_prints_ok(code)


def test_drawing_libraries_load_at_first_use_as_the_real_modules():
    # A batch worker that only predicts records must start without them.
    code = ("import sys, korvane\n"
            "assert 'matplotlib' not in sys.modules and 'networkx' not in sys.modules\n"
            "assert {'nx', 'plt'} <= set(dir(korvane))\n"
            "korvane.predict_record('CCO')\n"
            "assert 'matplotlib' not in sys.modules and 'networkx' not in sys.modules\n"
            "import matplotlib.pyplot, networkx\n"
            "assert korvane.plt is matplotlib.pyplot and korvane.nx is networkx\n"
            "assert type(korvane.VIF('CCO', draw=False, verbose=False)['graph']) is networkx.Graph\n"
            "print('ok')\n")
    _assert_prints_ok(code)


def test_main_program_runs_the_halogen_test():
    res = _run(["-m", "korvane"])
    assert res.returncode == 0, res.stderr
    lines = res.stdout.splitlines()
    assert lines[1] == "SUBSTITUTED-HALOGEN TEST — K4 (square) representation"
    assert lines[-1] == "Panel saved: /tmp/vif_halogen.png"
    assert len(lines) == 3 + 24 + 2
    assert os.path.getsize("/tmp/vif_halogen.png") > 10_000
