"""SMILES lookup by compound name or CID over the PubChem PUG REST service."""
import urllib.parse

import korvane as _kv

PUBCHEM_REST = "https://pubchem.ncbi.nlm.nih.gov/rest/pug/compound"

# Record keys tried in turn for the SMILES text; the first non-empty one wins.
_SMILES_KEYS = ("SMILES", "IsomericSMILES", "ConnectivitySMILES")


def _property_url(query, by):
    """Returns the SMILES-property address of `query` under the lookup mode `by`.

    The query is percent-encoded as a single path segment, so a name holding
    "/", "?", "#" or "%" cannot change the path or add a query string.
    """
    segment = urllib.parse.quote(str(query), safe="")
    return _kv.PUBCHEM_REST + "/" + by + "/" + segment + "/property/SMILES/JSON"


def fetch_smiles_from_pubchem(query, by="name", timeout=20):
    """Returns (SMILES, CID) of the first PubChem record for `query`; CID is None if absent.

    Raises ValueError for a bad `by`, a non-200 answer, no records or a record
    without SMILES; errors of the HTTP client and the JSON decoder pass through.
    """
    import requests  # loaded at call time: the rest of the package works without it

    if by not in ("name", "cid"):
        raise ValueError("by parametresi 'name' veya 'cid' olmalı")
    response = requests.get(_property_url(query, by), timeout=timeout)
    if response.status_code != 200:
        raise ValueError(f"PubChem '{query}' için sonuç döndürmedi "
                         f"(HTTP {response.status_code})")
    props = response.json().get("PropertyTable", {}).get("Properties", [])
    if not props:
        raise ValueError(f"PubChem '{query}' için boş yanıt döndü")
    record = props[0]
    smiles = next((record.get(key) for key in _SMILES_KEYS if record.get(key)), None)
    if not smiles:
        raise ValueError(f"PubChem yanıtında SMILES bulunamadı: {record}")
    return smiles, record.get("CID")


def VIF_from_pubchem(query, by="name", **vif_kwargs):
    """Returns the VIF result for the SMILES that PubChem gives for `query`.

    Prints one line naming the query, its CID and the SMILES, then calls VIF with
    every further keyword unchanged.
    """
    smiles, cid = _kv.fetch_smiles_from_pubchem(query, by=by)
    print(f"[PubChem] '{query}' -> CID {cid} -> SMILES: {smiles}")
    return _kv.VIF(smiles, **vif_kwargs)
