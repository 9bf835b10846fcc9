"""SMILES lookup by compound name or CID over the PubChem PUG REST service."""
import threading
import time
import urllib.parse

from ._settings import pubchem_rest
from .vif import VIF

PUBCHEM_REST = "https://pubchem.ncbi.nlm.nih.gov/rest/pug/compound"

# Record keys tried in turn for the SMILES text; the first non-empty one wins.
_SMILES_KEYS = ("SMILES", "IsomericSMILES", "ConnectivitySMILES")

# Largest answer body read, in bytes: a property answer is a few hundred bytes, so
# anything above 4 MiB is refused instead of being held in memory.
_MAX_BODY_BYTES = 4 * 1024 * 1024

# Redirects followed per lookup, each to the same scheme and host only.
_MAX_REDIRECTS = 5
_REDIRECT_CODES = (301, 302, 303, 307, 308)
_CHUNK_BYTES = 64 * 1024


def _property_url(query, by):
    """Returns the SMILES-property address of `query` under the lookup mode `by`.

    The query is percent-encoded as a single path segment, so a name holding
    "/", "?", "#" or "%" cannot change the path or add a query string.
    """
    segment = urllib.parse.quote(str(query), safe="")
    return pubchem_rest() + "/" + by + "/" + segment + "/property/SMILES/JSON"


def _seconds_left(requests, deadline):
    """Returns the time left before `deadline` (None: no deadline); raises the client's
    Timeout once it has passed."""
    if deadline is None:
        return None
    left = deadline - time.monotonic()
    if left <= 0:
        raise requests.exceptions.Timeout("PubChem request exceeded its time-out")
    return left


def _same_origin(a, b):
    a, b = urllib.parse.urlsplit(a), urllib.parse.urlsplit(b)
    return (a.scheme.lower(), a.netloc.lower()) == (b.scheme.lower(), b.netloc.lower())


def _get(requests, url, deadline):
    """Returns (status code, response) of a GET of `url`, the body read into the response.

    Redirects are followed only to the same scheme and host; one elsewhere is answered
    as it came (its status code). Each connection and read waits at most the time left,
    the body is read in chunks until `deadline`, and a body above _MAX_BODY_BYTES (by its
    declared length or by what arrives) raises ValueError.
    """
    with requests.Session() as session:
        for _ in range(_MAX_REDIRECTS + 1):
            response = session.get(url, timeout=_seconds_left(requests, deadline),
                                   stream=True, allow_redirects=False)
            with response:
                location = response.headers.get("Location")
                if response.status_code in _REDIRECT_CODES and location:
                    target = urllib.parse.urljoin(url, location)
                    if _same_origin(url, target):
                        url = target
                        continue
                if response.status_code != 200:
                    return response.status_code, response
                declared = response.headers.get("Content-Length", "")
                if declared.isdigit() and int(declared) > _MAX_BODY_BYTES:
                    raise _too_large()
                body = bytearray()
                for chunk in response.iter_content(_CHUNK_BYTES):
                    body += chunk
                    if len(body) > _MAX_BODY_BYTES:
                        raise _too_large()
                    _seconds_left(requests, deadline)
                # The body read here becomes the response's content, so that json()
                # decodes it with the client's own encoding rules and errors.
                response._content = bytes(body)
                return 200, response
        raise requests.exceptions.TooManyRedirects(
            f"more than {_MAX_REDIRECTS} redirects", response=response)


def _too_large():
    return ValueError(f"PubChem yanıtı {_MAX_BODY_BYTES} bayt sınırını aşıyor")


def _get_within(requests, url, timeout):
    """Returns what _get returns, the whole request bounded by `timeout` seconds.

    The request runs on a daemon thread so that a server trickling bytes, whose every
    read is quick, cannot hold the caller past the time-out; the thread itself stops
    at its next chunk or at the client's read time-out. None waits without limit.
    """
    if timeout is None:
        return _get(requests, url, None)
    seconds = sum(timeout) if isinstance(timeout, tuple) else timeout
    deadline = time.monotonic() + seconds
    outcome = {}

    def run():
        try:
            outcome["result"] = _get(requests, url, deadline)
        except BaseException as exc:  # handed to the caller's thread below
            outcome["error"] = exc

    worker = threading.Thread(target=run, name="korvane-pubchem", daemon=True)
    worker.start()
    worker.join(max(0.0, deadline - time.monotonic()))
    if worker.is_alive():
        raise requests.exceptions.Timeout(f"PubChem request exceeded {timeout} s")
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def _first_record(answer):
    """Returns the first record of a decoded answer, or None when it holds no record list."""
    table = answer.get("PropertyTable", {}) if isinstance(answer, dict) else None
    props = table.get("Properties", []) if isinstance(table, dict) else None
    if not isinstance(props, list) or not props:
        return None
    return props[0]


def fetch_smiles_from_pubchem(query, by="name", timeout=20):
    """Returns (SMILES, CID) of the first PubChem record for `query`; CID is None if absent.

    Raises ValueError for a bad `by`, a non-200 answer (a redirect to another scheme or
    host included), no records or a record without a SMILES text, and a body above
    4 MiB (_MAX_BODY_BYTES); `timeout` bounds the whole request, redirects and body included.
    Errors of the HTTP client and the JSON decoder pass through.
    """
    import requests  # loaded at call time: the rest of the package works without it

    if by not in ("name", "cid"):
        raise ValueError("by parametresi 'name' veya 'cid' olmalı")
    status, response = _get_within(requests, _property_url(query, by), timeout)
    if status != 200:
        raise ValueError(f"PubChem '{query}' için sonuç döndürmedi (HTTP {status})")
    record = _first_record(response.json())
    if record is None:
        raise ValueError(f"PubChem '{query}' için boş yanıt döndü")
    fields = record if isinstance(record, dict) else {}
    smiles = next((fields[key] for key in _SMILES_KEYS
                   if isinstance(fields.get(key), str) and fields[key]), None)
    if smiles is None:
        raise ValueError(f"PubChem yanıtında SMILES bulunamadı: {record}")
    return smiles, fields.get("CID")


def VIF_from_pubchem(query, by="name", **vif_kwargs):
    """Returns the VIF result for the SMILES that PubChem gives for `query`.

    Prints one line naming the query, its CID and the SMILES, then calls VIF with
    every further keyword unchanged.
    """
    smiles, cid = fetch_smiles_from_pubchem(query, by=by)
    print(f"[PubChem] '{query}' -> CID {cid} -> SMILES: {smiles}")
    return VIF(smiles, **vif_kwargs)
