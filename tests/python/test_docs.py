"""The tuning constants table of docs/internals.md against the sources.

Each row's first cell quotes a constant as written in src/ (name and value);
a constant whose value or name changed without the table fails here, and so
does a new look-ahead distance that the table does not list.
"""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
INTERNALS = ROOT / "docs" / "internals.md"
SOURCE_SUFFIXES = {".hpp", ".cpp"}


def squeeze(text):
    return re.sub(r"\s+", " ", text)


def source_text():
    files = sorted(p for p in (ROOT / "src").rglob("*") if p.suffix in SOURCE_SUFFIXES)
    return squeeze("\n".join(p.read_text() for p in files))


def constants_table():
    """The quoted first cells of the table under the "Tuning constants" heading."""
    section = INTERNALS.read_text().split("\n## Tuning constants\n", 1)[1].split("\n## ", 1)[0]
    quoted = []
    for line in section.splitlines():
        match = re.match(r"\| `([^`]+)` \|", line)
        if match:
            quoted.append(match.group(1))
    return quoted


def test_every_constant_of_the_table_is_in_the_sources_as_written():
    table = constants_table()
    assert len(table) >= 30, "the constants table was not found or lost its rows"
    sources = source_text()
    missing = [entry for entry in table if squeeze(entry) not in sources]
    assert missing == [], f"not in src/ as the table writes them: {missing}"


def test_every_look_ahead_distance_of_the_sources_is_in_the_table():
    names = set(
        re.findall(r"constexpr [\w:]+ (k\w*(?:Ahead|Lag|Lookahead))\b", source_text())
    )
    assert names, "no look-ahead constants found in src/"
    listed = " ".join(constants_table())
    unlisted = sorted(name for name in names if not re.search(rf"\b{name}\b", listed))
    assert unlisted == [], f"look-ahead constants missing from docs/internals.md: {unlisted}"
