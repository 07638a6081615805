"""``talvex-ext`` shows text from outside it (the package index, package metadata, the
queue file, installer output, error texts) without the terminal controls that text
carries; ``--json`` keeps it exact."""

from __future__ import annotations

import io
import json
import os
import unicodedata

import pytest

import cli_support as cs
import e2e_support as e2e
from talvex_ext_cli.output import Console

# Visible words with controls between them: clear the screen, write the clipboard, set
# the window title, a C1 control sequence introducer, a right-to-left override, a NUL,
# DEL, and a bare CR that would let "eight" overwrite the line.
ATTACK = "one\x1b[2Jtwo\x1b]52;c;cHduZWQ=\x07three\x1b]0;pwned\x07four\x9bfive\u202esix\x00seven\x7f\reight"
WORDS = ("one", "two", "three", "four", "five", "six", "seven", "eight")
PAYLOADS = ("pwned", "cHduZWQ=")  # what the clipboard and title commands carry
HEADER = ATTACK.replace("\r", "")  # a metadata header ends at a CR
QUEUED = "talvex-ext-one\x1b]pwned\x07two\x9bthree\u202efour\x00five\x7fsix"  # a queued name ends at "[" or ";"


def controls(data: bytes) -> list[str]:
    """Control and format characters other than the platform's line ends and tab."""
    text = data.decode("utf-8").replace(os.linesep, "\n")  # CR LF on Windows; a bare CR still counts
    return [ch for ch in text if ch not in "\n\t" and unicodedata.category(ch) in ("Cc", "Cf")]


@pytest.fixture
def hostile(tmp_path):
    """A catalog, an installed extension, a Talvex distribution, a queue and an installer,
    each carrying ATTACK; runs ``talvex-ext`` against them and returns the raw result."""
    dists = tmp_path / "dists"
    cs.fake_distribution(dists, "talvex-ext-" + HEADER, "1.0" + HEADER)
    cs.fake_distribution(dists, "talvex", "7.0" + HEADER, Summary=HEADER, License=HEADER,
                         Author_email=HEADER + " <a@example.invalid>", Project_URL="Homepage, " + HEADER)
    cs.write_queue(tmp_path / "pending-extension-ops.json", install=[QUEUED], uninstall=[QUEUED + "-old"])
    said = tmp_path / "installer-says.txt"
    said.write_text(ATTACK + "\n", encoding="utf-8")
    # An installer stand-in that fails, printing ATTACK on both streams; every run goes to it.
    uv = e2e.fake_uv(tmp_path, "uv-bin", stdout=said.read_bytes(), stderr=said.read_bytes(), status=1)
    catalog = {
        "talvex-ext-" + ATTACK: None,  # listed; its project document answers 404
        "talvex-ext-evil": {"name": "talvex-ext-evil", "version": "1.0" + ATTACK, "summary": ATTACK},
    }
    with cs.LocalIndex(catalog) as index:
        env = cs.cli_environ(tmp_path, extra_paths=[dists], CLI_TEST_INDEX=index.url,
                             PATH=os.pathsep.join([str(uv), os.environ.get("PATH", os.defpath)]))

        def run(*args, prelude=cs.REROUTE_INDEX):
            return cs.run_cli(list(args), env, prelude=prelude, raw=True)

        run.index = index
        yield run


def http_error(index):
    index.status = 503
    index.answer = lambda path: (503, {"message": ATTACK})


RAISE_FROM_QUEUE = """
import talvex.core.extensions.wheelwork as _ww
def _broken():
    raise LookupError(%r)
_ww.pending_operations = _broken
""" % ATTACK

# command line, what to change first, code to run before the command, exit status, words that must show
CASES = {
    "search": (["-vv", "search"], None, None, 0, WORDS),
    "search-filter": (["search", "EVIL"], None, None, 0, WORDS),
    "search-http-error": (["search"], http_error, None, 1, WORDS),
    "list": (["list"], None, None, 0, WORDS[:7]),
    "pending": (["pending"], None, None, 0, WORDS[:6]),
    "apply-pending": (["-v", "apply-pending", "--retry-seconds", "0"], None, None, 1, WORDS[:6]),
    "install-failure": (["install", "talvex-ext-nothere"], None, None, 1, WORDS),
    "about": (["about"], None, None, 0, WORDS[:7]),
    "unexpected-error": (["-v", "pending"], None, RAISE_FROM_QUEUE, 1, WORDS),
}


@pytest.mark.parametrize("case", CASES)
def test_no_terminal_controls_reach_the_output(hostile, case):
    args, setup, prelude, status, words = CASES[case]
    if setup:
        setup(hostile.index)
    proc = hostile(*args, prelude=prelude or cs.REROUTE_INDEX)
    out, err = proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")
    assert proc.returncode == status, out + err
    assert (controls(proc.stdout), controls(proc.stderr)) == ([], [])
    assert not [p for p in PAYLOADS if p in out]  # (a log record may quote a repr of the text)
    shown = (out + err).casefold()  # names come back normalised
    assert [w for w in words if w not in shown] == []
    if case in ("search", "search-filter", "list"):  # a table cell stays on its row
        assert all("one" in line for line in out.casefold().splitlines() if "eight" in line)


def test_json_keeps_the_exact_texts_and_escapes_every_control(hostile, ww, pending_file):
    def data(*args):
        proc = hostile(*args, "--json")
        assert proc.returncode == 0, proc.stderr
        assert controls(proc.stdout) == []  # C1, DEL and format characters escaped too
        return json.loads(proc.stdout)

    rows = {row["package"]: row for row in data("search")}
    assert rows["talvex-ext-evil"]["description"] == ATTACK
    assert rows["talvex-ext-evil"]["version"] == "1.0" + ATTACK
    assert "talvex-ext-" + ATTACK in rows
    assert data("list") == [{"package": ww.normalize_pypi_name("talvex-ext-" + HEADER),
                             "name": ww.display_name_from_pypi_package(ww.normalize_pypi_name("talvex-ext-" + HEADER)),
                             "version": "1.0" + HEADER}]
    assert data("pending") == [{"operation": op, "package": pkg, "failed_starts": 0}
                               for op, pkg in ww.pending_operations()]
    about = data("about")
    assert (about["version"], about["summary"], about["license"]) == ("7.0" + HEADER, HEADER, HEADER)
    assert about["homepage"] == HEADER


@pytest.mark.parametrize("text", ["\x7f\x85\x9b", "\u202e\u200b\ufeff\u2028", "\U000e0001 tag", "\ud800 lone",
                                  "caf\u00e9 \U0001f600 \u00a0"], ids=["c1", "format", "astral", "surrogate", "printable"])
def test_json_escapes_read_back_exact(text):
    stream = io.StringIO()
    Console(stdout=stream).json({"k" + text: [text]})
    written = stream.getvalue()
    assert json.loads(written) == {"k" + text: [text]}
    assert all(ch.isprintable() or ch == "\n" for ch in written)
    assert ("\U0001f600" in written) == ("\U0001f600" in text)  # printable text stays readable
