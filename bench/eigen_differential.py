"""The LPI's eigenvalues against NumPy's, bit for bit, over the NCI sample.

    bench/eigen_differential.py [--nci 1000]

For each molecule, VIF's "eigenvalues" (without recursion, and with recursion, which
decompose on different paths) must equal numpy.linalg.eigvalsh of the result's orbital
graph as NetworkX writes its matrix (to_numpy_array, nodes sorted), every bit of every
value (the sign of a zero included), and the report's "Eigenvalues:" line must print
NumPy's values rounded to three decimals. Prints the count of differing molecules and
exits with status 1 when there is any.
"""
import argparse
import contextlib
import io
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import nci_smiles  # noqa: E402


def differences(smiles, recursive_ms):
    """Returns the texts of what differs between korvane's eigenvalues and NumPy's."""
    import networkx as nx
    import numpy as np

    import korvane

    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        r = korvane.VIF(smiles, draw=False, verbose=True, recursive_ms=recursive_ms)
    if isinstance(r, str):
        return []
    H = r["graph"]
    ours = np.asarray(r["lpi"]["eigenvalues"], dtype=np.float64)
    numpy_values = np.linalg.eigvalsh(nx.to_numpy_array(H, nodelist=sorted(H)))
    found = []
    if ours.shape != numpy_values.shape or not np.array_equal(
            ours.view(np.uint64), numpy_values.view(np.uint64)):
        worst = (float(np.max(np.abs(ours - numpy_values)))
                 if ours.shape == numpy_values.shape else float("nan"))
        found.append(f"eigenvalues differ (largest {worst:.3g})")
    line = f"      Eigenvalues: {[float(x) for x in np.round(numpy_values, 3)]}"
    if line not in out.getvalue().splitlines():
        found.append("the report's eigenvalue line differs")
    return found


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--nci", type=int, default=1000, help="molecules of the NCI sample")
    args = ap.parse_args(argv)
    differing = 0
    smiles_list = nci_smiles(args.nci)
    for i, smiles in enumerate(smiles_list):
        found = [f"{'recursive' if rec else 'plain'}: {text}"
                 for rec in (False, True) for text in differences(smiles, rec)]
        if found:
            differing += 1
            print(f"#{i} {smiles}: " + "; ".join(found))
    print(f"{differing} of {len(smiles_list)} molecules differ from numpy.linalg.eigvalsh")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
