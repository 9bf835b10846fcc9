"""Shared test set-up: a non-interactive Matplotlib backend and a recorded plt.show."""
import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402


@pytest.fixture(autouse=True)
def _no_windows(monkeypatch):
    """Replaces plt.show with a recorder and closes every figure after each test."""
    calls = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: calls.append(len(plt.get_fignums())))
    yield calls
    plt.close("all")


@pytest.fixture
def show_calls(_no_windows):
    """The number of open figures at each plt.show call of the test."""
    return _no_windows
