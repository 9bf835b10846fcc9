"""Modules imported at their first use.

Matplotlib and NetworkX take about half a second to import, most of the time `import
korvane` takes. Drawing and the graph results need them; a batch worker, the `korvane`
command and a Dask task that only predict records do not, and each would pay that half
second at start-up.
"""
import importlib


class LazyModule:
    """Stands for the module `name` and imports it at the first attribute looked up."""

    def __init__(self, name):
        self._name = name

    def __getattr__(self, attr):
        return getattr(importlib.import_module(self._name), attr)

    def __repr__(self):
        return f"<module {self._name!r}, imported at first use>"
