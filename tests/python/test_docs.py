"""The README and the pages under docs/: every relative link leads to a file that exists."""
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]
LINK = re.compile(r"\]\(([^)#\s]+)(?:#[^)]*)?\)")


def test_every_relative_link_of_the_guides_exists():
    pages = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
    missing = [(page.name, target) for page in pages
               for target in LINK.findall(page.read_text(encoding="utf-8"))
               if "://" not in target and not (page.parent / target).exists()]
    assert len(pages) > 1 and missing == []
