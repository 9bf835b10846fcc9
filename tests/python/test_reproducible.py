"""The same molecule gives the same results in any process, whatever was analysed before.

The coordinate generator ranked some objects by their addresses, so metal complexes and
large fused ring systems came out differently after different histories; each check runs
in fresh interpreters that analyse other molecules in different orders first.
"""
import json
import os
import subprocess
import sys


FERROCENE = "C12C3=C4C5=C1[Fe]23456789C%10C6=C7C8=C9%10"  # NCI #2033
AL_COMPLEX = "CC1=[O+][Al]23([O+]=C(C)C1)([O+]=C(C)CC(=[O+]2)C)[O+]=C(C)CC(=[O+]3)C"  # #4650
OTHERS = ["CCO", "c1ccccc1O", "C1CN[Ni]23(N1)(NCCN2)NCCN3", "C1CC2CCC1C2",
          "O=C1O[Fe]23(OC1=O)(OC(=O)C(=O)O2)OC(=O)C(=O)O3", "OC(=O)c1ccncc1"]

SCRIPT = r"""
import json, sys
import numpy as np
import korvane
before, targets = json.loads(sys.argv[1]), json.loads(sys.argv[2])
for s in before:
    korvane.VIF(s, draw=False, verbose=False)

def plain(v):
    if isinstance(v, np.ndarray):
        return [str(v.dtype), v.tolist()]
    if isinstance(v, dict):
        return {repr(k): plain(x) for k, x in v.items()}
    if isinstance(v, (list, tuple)):
        return [plain(x) for x in v]
    return repr(v) if isinstance(v, float) else v

out = {}
for s in targets:
    r = korvane.VIF(s, draw=False, verbose=False, recursive_ms=True)
    H = r.pop("graph")
    r["nodes"] = [[n, H.nodes[n]] for n in H.nodes]
    r["edges"] = list(H.edges(data=True))
    out[s] = {"vif": plain(r), "record": korvane.predict_record(s)}
print(json.dumps(out, sort_keys=True))
"""


def _results(before, targets):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), MPLBACKEND="Agg")
    # subprocess.run kills the interpreter when the wait times out.
    res = subprocess.run([sys.executable, "-c", SCRIPT, json.dumps(before), json.dumps(targets)],
                         capture_output=True, text=True, env=env, timeout=240)
    assert res.returncode == 0, res.stderr
    return json.loads(res.stdout)


def test_metal_complexes_give_the_same_results_after_any_history():
    targets = [FERROCENE, AL_COMPLEX]
    fresh = _results([], targets)
    assert all(fresh[s]["record"]["status"] == "ok" for s in targets)
    after_others = _results(OTHERS + [AL_COMPLEX], targets)
    reversed_twice = _results(OTHERS[::-1] * 2 + [FERROCENE], targets[::-1])
    for s in targets:
        assert after_others[s] == fresh[s], s
        assert reversed_twice[s] == fresh[s], s
