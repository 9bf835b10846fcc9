"""PubChem lookup against a local PUG-REST-like server on 127.0.0.1."""
import http.server
import inspect
import json
import threading
import time

import pytest
import requests

import korvane
from korvane import pubchem

PATH = "/rest/pug/compound"


def _props(*records):
    return {"PropertyTable": {"Properties": list(records)}}


class _PugHandler(http.server.BaseHTTPRequestHandler):
    """Answers each path from the server's `routes`; unknown paths get a 404 fault."""

    def do_GET(self):
        self.server.paths.append(self.path)
        status, body, delay, extra = self.server.routes.get(
            self.path, (404, {"Fault": {"Code": "PUGREST.NotFound"}}, 0, {}))
        time.sleep(delay)
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            for key, value in extra.get("headers", {}).items():
                self.send_header(key, value)
            if extra.get("length", True):  # else the body ends when the connection closes
                self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            if "trickle" in extra:  # one byte per `trickle` seconds
                for i in range(len(data)):
                    self.wfile.write(data[i:i + 1])
                    self.wfile.flush()
                    time.sleep(extra["trickle"])
            else:
                self.wfile.write(data)
        except OSError:  # the client gave up (time-out test)
            pass

    def log_message(self, *args):
        pass


class PugServer:
    """A running local server; `answer` sets a route, `paths` lists the paths asked for."""

    def __init__(self):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _PugHandler)
        self.httpd.routes, self.httpd.paths = {}, []
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}{PATH}"
        threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True).start()

    @property
    def paths(self):
        return self.httpd.paths

    def answer(self, tail, body, status=200, delay=0, **extra):
        self.httpd.routes[PATH + tail] = (status, body, delay, extra)

    def name(self, name, smiles, cid):
        self.answer(f"/name/{name}/property/SMILES/JSON", _props({"CID": cid, "SMILES": smiles}))


    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def pug(monkeypatch):
    """A local server with korvane's lookup pointed at it."""
    server = PugServer()
    monkeypatch.setattr(korvane, "PUBCHEM_REST", server.base)
    yield server
    server.close()


def test_public_signatures_and_endpoint():
    sig = inspect.signature
    assert str(sig(pubchem.fetch_smiles_from_pubchem)) == "(query, by='name', timeout=20)"
    assert str(sig(pubchem.VIF_from_pubchem)) == "(query, by='name', **vif_kwargs)"
    assert pubchem.PUBCHEM_REST.startswith("https://")
    assert pubchem.PUBCHEM_REST.endswith("/rest/pug/compound")


@pytest.mark.parametrize("records", [
    [{"CID": 2244, "SMILES": "CC(=O)OC1=CC=CC=C1C(=O)O"}],
    [{"CID": 2244, "SMILES": "CC(=O)OC1=CC=CC=C1C(=O)O"}, {"CID": 1, "SMILES": "C"}],
], ids=["one record", "two records"])
def test_name_lookup_uses_first_record(pug, records):
    pug.answer("/name/aspirin/property/SMILES/JSON", _props(*records))
    assert pubchem.fetch_smiles_from_pubchem("aspirin") == ("CC(=O)OC1=CC=CC=C1C(=O)O", 2244)
    assert pug.paths == [PATH + "/name/aspirin/property/SMILES/JSON"]


@pytest.mark.parametrize("record, expected", [
    ({"CID": 1, "SMILES": "A", "IsomericSMILES": "B", "ConnectivitySMILES": "C"}, ("A", 1)),
    ({"CID": 1, "SMILES": "", "IsomericSMILES": "B", "ConnectivitySMILES": "C"}, ("B", 1)),
    ({"CID": 1, "SMILES": None, "IsomericSMILES": "", "ConnectivitySMILES": "C"}, ("C", 1)),
    ({"CID": 1, "ConnectivitySMILES": "C"}, ("C", 1)),
    ({"SMILES": "CO"}, ("CO", None)),
], ids=["SMILES", "isomeric", "connectivity", "connectivity only", "no CID"])
def test_smiles_fallbacks_and_missing_cid(pug, record, expected):
    pug.answer("/name/x/property/SMILES/JSON", _props(record))
    assert pubchem.fetch_smiles_from_pubchem("x") == expected


def test_cid_as_integer_and_text_ask_the_same_path(pug):
    pug.answer("/cid/2244/property/SMILES/JSON", _props({"CID": 2244, "SMILES": "C"}))
    assert pubchem.fetch_smiles_from_pubchem(2244, by="cid") == ("C", 2244)
    assert pubchem.fetch_smiles_from_pubchem("2244", by="cid") == ("C", 2244)
    assert pug.paths == [PATH + "/cid/2244/property/SMILES/JSON"] * 2


@pytest.mark.parametrize("body, status, message", [
    ({"Fault": {}}, 404, "PubChem 'xyz' için sonuç döndürmedi (HTTP 404)"),
    (_props({"CID": 1}), 201, "PubChem 'xyz' için sonuç döndürmedi (HTTP 201)"),
    (_props(), 200, "PubChem 'xyz' için boş yanıt döndü"),
    ({"Other": 1}, 200, "PubChem 'xyz' için boş yanıt döndü"),
    ({"PropertyTable": {}}, 200, "PubChem 'xyz' için boş yanıt döndü"),
    (_props({"CID": 7, "SMILES": ""}), 200,
     "PubChem yanıtında SMILES bulunamadı: {'CID': 7, 'SMILES': ''}"),
], ids=["404", "201", "empty properties", "no property table", "no properties", "no smiles"])
def test_lookup_errors_have_exact_messages(pug, body, status, message):
    pug.answer("/name/xyz/property/SMILES/JSON", body, status=status)
    with pytest.raises(ValueError) as err:
        pubchem.fetch_smiles_from_pubchem("xyz")
    assert str(err.value) == message


def test_body_that_is_not_json_raises_the_decoder_error(pug):
    pug.answer("/name/x/property/SMILES/JSON", b"<html>busy</html>")
    with pytest.raises(json.JSONDecodeError):
        pubchem.fetch_smiles_from_pubchem("x")


def test_slow_server_raises_the_client_timeout(pug):
    pug.answer("/name/x/property/SMILES/JSON", _props({"SMILES": "C"}), delay=1.0)
    started = time.monotonic()
    with pytest.raises(requests.exceptions.Timeout):
        pubchem.fetch_smiles_from_pubchem("x", timeout=0.2)
    assert time.monotonic() - started < 0.9


@pytest.mark.parametrize("by", ["smiles", "Name", "CID", ""])
def test_bad_lookup_mode_sends_no_request(pug, by):
    with pytest.raises(ValueError) as err:
        pubchem.fetch_smiles_from_pubchem("water", by=by)
    assert str(err.value) == "by parametresi 'name' veya 'cid' olmalı"
    assert pug.paths == []


@pytest.mark.parametrize("name, segment", [
    ("acetic acid", "acetic%20acid"),
    ("1/2", "1%2F2"),
    ("a?b=1#c", "a%3Fb%3D1%23c"),
    ("50%", "50%25"),
    ("2,3-butanediol", "2%2C3-butanediol"),
])
def test_query_with_reserved_characters_stays_one_path_segment(pug, name, segment):
    # Regression: the query was once pasted into the path unescaped.
    pug.answer(f"/name/{segment}/property/SMILES/JSON", _props({"CID": 5, "SMILES": "CC"}))
    assert pubchem.fetch_smiles_from_pubchem(name) == ("CC", 5)
    assert pug.paths == [f"{PATH}/name/{segment}/property/SMILES/JSON"]


def test_error_message_quotes_the_query_as_given(pug):
    with pytest.raises(ValueError) as err:
        pubchem.fetch_smiles_from_pubchem("no/such thing")
    assert str(err.value) == "PubChem 'no/such thing' için sonuç döndürmedi (HTTP 404)"


@pytest.fixture
def vif_calls(monkeypatch):
    """Replaces the VIF that VIF_from_pubchem calls with a recorder returning a marker."""
    calls = []
    monkeypatch.setattr(pubchem, "VIF", lambda *a, **k: calls.append((a, k)) or "result")
    return calls


@pytest.mark.parametrize("cid, shown", [(2244, "2244"), (None, "None")])
def test_VIF_from_pubchem_prints_one_line_and_forwards_keywords(pug, vif_calls, capsys,
                                                                cid, shown):
    record = {"SMILES": "CC(=O)O"} if cid is None else {"CID": cid, "SMILES": "CC(=O)O"}
    pug.answer("/cid/2244/property/SMILES/JSON", _props(record))
    assert pubchem.VIF_from_pubchem(2244, by="cid", draw=False, recursive_ms=True) == "result"
    assert capsys.readouterr().out == f"[PubChem] '2244' -> CID {shown} -> SMILES: CC(=O)O\n"
    assert vif_calls == [(("CC(=O)O",), {"draw": False, "recursive_ms": True})]


def test_VIF_from_pubchem_failure_prints_nothing_and_skips_VIF(pug, vif_calls, capsys):
    with pytest.raises(ValueError, match="HTTP 404"):
        pubchem.VIF_from_pubchem("unobtainium", verbose=False)
    assert capsys.readouterr().out == ""
    assert vif_calls == []


@pytest.mark.parametrize("answer, message", [
    (_props({"CID": 1, "SMILES": 42}), "PubChem yanıtında SMILES bulunamadı: {'CID': 1, 'SMILES': 42}"),
    (_props({"SMILES": ["C"], "IsomericSMILES": {"a": 1}}),
     "PubChem yanıtında SMILES bulunamadı: {'SMILES': ['C'], 'IsomericSMILES': {'a': 1}}"),
    (_props({"SMILES": True, "ConnectivitySMILES": "CO"}), None),
    (_props("CCO"), "PubChem yanıtında SMILES bulunamadı: CCO"),
    ({"PropertyTable": {"Properties": "CCO"}}, "PubChem 'x' için boş yanıt döndü"),
    ({"PropertyTable": {"Properties": {"0": {"SMILES": "C"}}}}, "PubChem 'x' için boş yanıt döndü"),
    ({"PropertyTable": ["C"]}, "PubChem 'x' için boş yanıt döndü"),
    ([{"SMILES": "C"}], "PubChem 'x' için boş yanıt döndü"),
    ("C", "PubChem 'x' için boş yanıt döndü"),
], ids=["number", "list and dict", "true then text", "record is text", "properties text",
        "properties dict", "table list", "top-level list", "top-level text"])
def test_answer_of_the_wrong_shape_raises_the_lookup_error(pug, answer, message):
    # Regression: a non-text SMILES was returned as the SMILES, and a list or text where
    # an object belongs gave AttributeError or KeyError.
    pug.answer("/name/x/property/SMILES/JSON", answer)
    if message is None:
        assert pubchem.fetch_smiles_from_pubchem("x") == ("CO", None)
        return
    with pytest.raises(ValueError) as err:
        pubchem.fetch_smiles_from_pubchem("x")
    assert str(err.value) == message


def test_timeout_bounds_the_whole_request_of_a_trickling_server(pug):
    # Regression: the time-out bounded each read, so one byte every 0.1 s kept the
    # caller for the whole body.
    pug.answer("/name/x/property/SMILES/JSON", _props({"SMILES": "C" * 20}), trickle=0.1)
    started = time.monotonic()
    with pytest.raises(requests.exceptions.Timeout):
        pubchem.fetch_smiles_from_pubchem("x", timeout=0.5)
    assert time.monotonic() - started < 1.0


@pytest.mark.parametrize("declared", [True, False], ids=["declared", "undeclared"])
def test_body_above_the_cap_is_refused(pug, declared):
    big = _props({"SMILES": "C", "Padding": "x" * (4 * 1024 * 1024)})
    pug.answer("/name/x/property/SMILES/JSON", big, length=declared)
    with pytest.raises(ValueError) as err:
        pubchem.fetch_smiles_from_pubchem("x")
    assert str(err.value) == "PubChem yanıtı 4194304 bayt sınırını aşıyor"


def test_redirects_stay_on_the_same_scheme_and_host(pug):
    other = PugServer()
    try:
        other.name("x", "CCCl", 9)
        pug.answer("/name/moved/property/SMILES/JSON", b"", status=301,
                   headers={"Location": PATH + "/name/here/property/SMILES/JSON"})
        pug.name("here", "CC", 7)
        assert pubchem.fetch_smiles_from_pubchem("moved") == ("CC", 7)
        pug.answer("/name/away/property/SMILES/JSON", b"", status=302,
                   headers={"Location": other.base + "/name/x/property/SMILES/JSON"})
        with pytest.raises(ValueError) as err:
            pubchem.fetch_smiles_from_pubchem("away")
        assert str(err.value) == "PubChem 'away' için sonuç döndürmedi (HTTP 302)"
        assert other.paths == []
    finally:
        other.close()
