"""Validation of computed LPIs and predicted peaks against reference molecules."""
import korvane as _kv

_SEPARATOR = "=" * 62


def _heading(title):
    print(_SEPARATOR)
    print(title)
    print(_SEPARATOR)


def validate(verbose=True):
    """Returns True when every LPI and MS reference row passes; prints a PASS/FAIL table
    when `verbose`. Analysis errors propagate after the lines already printed."""
    tum_gecti = True
    if verbose:
        _heading("LPI validation (Ardalen 1985)")
    for isim, smi, beklenen in _kv.LPI_REFERENCES:
        r = _kv.VIF(smi, draw=False, verbose=False)
        lpi = r["lpi"]
        got = (lpi["n+"], lpi["n0"], lpi["n-"])
        ok = got == beklenen
        tum_gecti = tum_gecti and ok
        if verbose:
            durum = "PASS" if ok else "FAIL"
            print(f"  [{durum}] {isim:12s} {smi:10s} expected={beklenen}  found={got}")

    if verbose:
        _heading("MS soft-bond validation (Velmora 2017)")
    for isim, smi, beklenen_mz in _kv.MS_REFERENCES:
        r = _kv.VIF(smi, draw=False, verbose=False)
        mz_set = set()
        for f in r["fragments"]:
            if not f["split"]:
                continue
            for frag in f["fragments"]:
                mz_set.add(frag[2])
        ok = beklenen_mz in mz_set
        tum_gecti = tum_gecti and ok
        if verbose:
            durum = "PASS" if ok else "FAIL"
            print(f"  [{durum}] {isim:14s} m/z={beklenen_mz} expected  "
                  f"found peaks={sorted(mz_set, reverse=True)}")

    if verbose:
        print(_SEPARATOR)
        print("RESULT:", "ALL TESTS PASSED ✓" if tum_gecti else "SOME TESTS FAILED ✗")
        print(_SEPARATOR)
    return tum_gecti
