"""Blocks of generated text between two marker comments of a Markdown file."""
import re


def replace_block(path, start, end, block, heading):
    """Replaces the text between the markers `start` and `end` of the Markdown file at path
    with block (appending a section `heading` with the markers when they are missing)."""
    with open(path, encoding="utf-8") as f:
        readme = f.read()
    new = f"{start}\n{block}\n{end}"
    if start in readme and end in readme:
        readme = re.sub(re.escape(start) + ".*?" + re.escape(end),
                        lambda _: new, readme, flags=re.S)
    else:
        readme = readme.rstrip("\n") + "\n\n## " + heading + "\n\n" + new + "\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(readme)
