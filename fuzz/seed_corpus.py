"""Writes the fuzzer's seed corpus: one file per SMILES, from korvane's reference tables
and the first molecules of RDKit's NCI sample.

usage: seed_corpus.py OUT_DIR [NCI_COUNT]
"""
import hashlib
import os
import runpy
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REFERENCES = os.path.join(HERE, "..", "python", "korvane", "references.py")


def _strings(value):
    """Yields every string inside nested lists, tuples and dicts."""
    if isinstance(value, str):
        yield value
    elif isinstance(value, (list, tuple)):
        for v in value:
            yield from _strings(v)
    elif isinstance(value, dict):
        for v in value.values():
            yield from _strings(v)


def reference_smiles():
    """The SMILES of the reference tables and shortcuts (texts with blanks are labels)."""
    names = runpy.run_path(REFERENCES)
    found = []
    for name, value in names.items():
        if name.startswith("__"):
            continue
        found.extend(s for s in _strings(value) if s and not any(c.isspace() for c in s))
    return list(dict.fromkeys(found))


def nci_smiles(count):
    """The first `count` SMILES of the NCI sample shipped with RDKit's data."""
    from rdkit import RDConfig
    path = os.path.join(RDConfig.RDDataDir, "NCI", "first_5K.smi")
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if fields:
                out.append(fields[0])
            if len(out) == count:
                break
    return out


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    out_dir = argv[1]
    count = int(argv[2]) if len(argv) > 2 else 300
    os.makedirs(out_dir, exist_ok=True)
    smiles = list(dict.fromkeys(reference_smiles() + nci_smiles(count)))
    for s in smiles:
        data = s.encode("utf-8")
        name = hashlib.sha1(data).hexdigest()
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
    print(f"{len(smiles)} seeds in {out_dir}")


if __name__ == "__main__":
    main(sys.argv)
