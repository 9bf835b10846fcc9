"""Validation of computed LPIs and predicted peaks against reference molecules."""
from .references import LPI_REFERENCES, MS_REFERENCES
from .vif import VIF

_SEPARATOR = "=" * 62


def _heading(title):
    print(_SEPARATOR)
    print(title)
    print(_SEPARATOR)


def validate(verbose=True):
    """Returns True when every LPI and MS reference row passes; prints a PASS/FAIL table
    when `verbose`. Analysis errors propagate after the lines already printed."""
    all_passed = True
    if verbose:
        _heading("LPI validation (Ardalen 1985)")
    for name, smi, expected in LPI_REFERENCES:
        r = VIF(smi, draw=False, verbose=False)
        lpi = r["lpi"]
        got = (lpi["n+"], lpi["n0"], lpi["n-"])
        ok = got == expected
        all_passed = all_passed and ok
        if verbose:
            verdict = "PASS" if ok else "FAIL"
            print(f"  [{verdict}] {name:12s} {smi:10s} expected={expected}  found={got}")

    if verbose:
        _heading("MS soft-bond validation (Velmora 2017)")
    for name, smi, expected_mz in MS_REFERENCES:
        r = VIF(smi, draw=False, verbose=False)
        mz_set = set()
        for f in r["fragments"]:
            if not f["split"]:
                continue
            for frag in f["fragments"]:
                mz_set.add(frag[2])
        ok = expected_mz in mz_set
        all_passed = all_passed and ok
        if verbose:
            verdict = "PASS" if ok else "FAIL"
            print(f"  [{verdict}] {name:14s} m/z={expected_mz} expected  "
                  f"found peaks={sorted(mz_set, reverse=True)}")

    if verbose:
        print(_SEPARATOR)
        print("RESULT:", "ALL TESTS PASSED ✓" if all_passed else "SOME TESTS FAILED ✗")
        print(_SEPARATOR)
    return all_passed
