"""Installing an extension from a wheel file: the checks made before anything runs,
the installer vector with the file in place of the name, and the copy that a
locked install keeps for the replay at the next start."""

from __future__ import annotations

import json
import os
import shutil
import sys
import zipfile
from pathlib import Path

import pytest

import e2e_support as e2e

NAME = "talvex-ext-filed"
FILE = "talvex_ext_filed-1.0-py3-none-any.whl"


def built(dest: Path, name=NAME, version="1.0", requires=(), as_name=None) -> Path:
    wheel = e2e.build_wheel(dest, name, version, requires)
    return wheel.rename(dest / as_name) if as_name else wheel


def sys_tag():
    from packaging.tags import sys_tags

    first = next(iter(sys_tags()))
    return f"{first.interpreter}-{first.platform}"


def placed(make):
    """A bad file made by *make* under the wheel's own name."""
    return lambda d: (make(d / FILE), d / FILE)[1]


BAD_FILES = {
    "missing": (lambda d: d / FILE, "no such file"),
    "folder": (placed(Path.mkdir), "not a file but a folder"),
    "not a zip": (placed(lambda p: p.write_bytes(b"PK not a zip")), "not a wheel: not a zip archive"),
    "no metadata": (placed(lambda p: zipfile.ZipFile(p, "w").close()), "not a wheel: it holds no .dist-info/METADATA"),
    "file name": (lambda d: built(d, as_name="talvex_ext_filed.whl"), "not a wheel: Invalid wheel filename"),
    "other name": (lambda d: built(d, "talvex-ext-b", as_name="talvex_ext_a-1.0-py3-none-any.whl"),
                   "names talvex-ext-a but contains talvex-ext-b"),
    "tags": (lambda d: built(d, as_name="talvex_ext_filed-1.0-cp312-cp312-win_amd64.whl"),
             "built for cp312-win_amd64; this Talvex runs {tag}"),
    "runtime package": (lambda d: built(d, "numpy", "99.0"), "contains numpy, which Talvex itself runs on"),
    "source archive": (lambda d: e2e.build_failing_sdist(d, NAME, "1.0", "never built"), "not a wheel but a source archive; Talvex installs extensions from wheel files (.whl)"),
}


@pytest.fixture
def nothing_runs(ww, monkeypatch):
    ran = []
    for name in ("_run", "purge_imported_package_modules", "cleanup_broken_package_install", "queue_pending_op"):
        monkeypatch.setattr(ww, name, lambda *a, _n=name, **k: ran.append(_n))
    return ran


@pytest.mark.parametrize("case", BAD_FILES)
def test_a_bad_file_is_refused_before_anything_runs(ww, pending_file, tmp_path, nothing_runs, case):
    make, problem = BAD_FILES[case]
    path = make(tmp_path)
    for driver in (ww.run_install, ww.run_upgrade):
        r = driver(str(path))
        assert (r.ok, r.returncode, r.command, r.deferred, r.stdout) == (False, 2, (), False, ""), r
        assert r.stderr.startswith(f"{path}: {problem.format(tag=sys_tag())}")
    assert nothing_runs == [] and not pending_file.exists()


@pytest.mark.parametrize("uv", [True, False], ids=["uv", "pip"])
def test_a_wheel_file_goes_the_road_of_the_name_it_holds(ww, pending_file, tmp_path, monkeypatch, uv):
    folder = tmp_path / "Téléchargements d'Ana ü"
    wheel = built(folder, requires=["talvex-filed-dep>=1"], as_name=FILE[:-4] + ".WHL")
    calls = []
    monkeypatch.setattr(ww, "prefer_uv", lambda: uv)
    monkeypatch.setattr(ww, "purge_imported_package_modules", lambda p: calls.append(("purge", p)))
    monkeypatch.setattr(ww, "cleanup_broken_package_install", lambda p: calls.append(("cleanup", p)) or [])
    monkeypatch.setattr(ww, "_run", lambda argv, **k: calls.append(("run", list(argv))) or ww.PipResult(
        ok=True, command=tuple(argv), returncode=0, stdout="", stderr=""))
    monkeypatch.setattr(ww, "_install_missing_deps", lambda p, requires=None: calls.append(("deps", p, requires))
                        or ww.PipResult(ok=True, command=(), returncode=0, stdout="", stderr=""))
    if uv:
        vector = ["uv", "pip", "install", "--python", sys.executable, "--upgrade",
                  "--reinstall-package", NAME, "--no-deps", "--no-cache", str(wheel)]
    else:
        vector = [sys.executable, "-m", "pip", "install", "--upgrade", "--force-reinstall", "--no-deps",
                  "--no-cache-dir", str(wheel)]
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("USERPROFILE", str(tmp_path))
    for request in (f" {folder.name}{os.sep}{wheel.name} ", f"~/{folder.name}/{wheel.name}", wheel):
        del calls[:]
        assert ww.run_install(request).ok
        # The installers take only ".whl": they get a copy named so, gone afterwards.
        staged = Path(calls[2][1].pop())
        assert calls == [("purge", NAME), ("cleanup", NAME), ("run", vector[:-1]),
                         ("deps", NAME, ["talvex-filed-dep>=1"])]
        assert staged.name == FILE and not staged.parent.exists()
        assert ww.install_command(request) == ww._display_command(
            [str(wheel) if part == str(wheel) else part.replace(NAME, "talvex_ext_filed") for part in vector])
    assert not pending_file.exists()


def locked(ww, monkeypatch, calls):
    monkeypatch.setattr(ww, "_run", lambda argv, **k: calls.append(list(argv)) or ww.PipResult(
        ok=False, command=tuple(argv), returncode=1, stdout="",
        stderr="error: The process cannot access the file because it is being used by another process. (os error 32)"))
    monkeypatch.setattr(ww, "_unwritable_environment", lambda *argv: None)
    monkeypatch.setattr(ww, "cleanup_broken_package_install", lambda p: [])


def test_the_later_of_a_file_and_a_name_wins_and_copies_do_not_outlive_their_change(ww, pending_file, tmp_path,
                                                                                  monkeypatch):
    calls = []
    locked(ww, monkeypatch, calls)
    first, second = built(tmp_path / "a", version="1.0"), built(tmp_path / "b", version="2.0")
    copies = pending_file.with_name(pending_file.name + ".wheels")
    record = pending_file.with_name(pending_file.name + ".wheel-files")

    assert ww.run_install(str(first)).deferred and ww.run_upgrade(str(second)).deferred
    (kept,) = ww._pending_wheel_files().values()
    assert kept["source"] == str(second) and sorted(p.name for p in copies.iterdir()) == [second.name]
    assert json.loads(pending_file.read_text(encoding="utf-8")) == {"uninstall": [], "install": [NAME]}

    # A later install by name wins: the replay goes to the index again.
    assert ww.run_install(NAME).deferred
    assert ww._pending_wheel_files() == {} and not copies.exists() and not record.exists()
    assert ww.run_install(str(first)).deferred and ww._pending_wheel_files()[NAME]["source"] == str(first)

    # An older Talvex knows only the queue: once it has rewritten it, the record is not
    # trusted (its replay installs the name), and the next change here drops the copy.
    ww._write_ops({"uninstall": [], "install": [NAME, "talvex-ext-other"]})
    assert ww._pending_wheel_files() == {} and copies.exists()
    ww.clear_pending_op("install", "talvex-ext-other")
    assert not copies.exists() and not record.exists()

    # A queued uninstall, a cleared queue: the copy goes with the install.
    assert ww.run_install(str(first)).deferred and copies.exists()
    assert ww.run_uninstall(NAME).deferred
    assert not copies.exists() and not record.exists()
    assert ww.pending_operations() == [("uninstall", NAME)]


def test_a_copy_that_cannot_be_kept_is_not_reported_as_queued(ww, pending_file, tmp_path, monkeypatch):
    locked(ww, monkeypatch, [])
    pending_file.with_name(pending_file.name + ".wheels").write_text("in the way", encoding="utf-8")
    wheel = built(tmp_path)
    r = ww.run_install(str(wheel))
    assert (r.ok, r.deferred) == (False, False) and "could NOT be queued" in r.stderr
    assert str(wheel) in r.stderr and not pending_file.exists()


# ---------------------------------------------------------------------------------- real installers

@pytest.fixture(scope="module")
def private_env(tmp_path_factory):
    root = tmp_path_factory.mktemp("wheel-file-env")
    return e2e.create_environment(root)


def simple_index(root: Path, wheels: list[Path]):
    """A PEP 503 index of *wheels* on 127.0.0.1; (server, URL)."""
    import functools
    import threading
    from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

    for wheel in wheels:
        project = root / "simple" / wheel.name.split("-")[0].replace("_", "-")
        project.mkdir(parents=True, exist_ok=True)
        shutil.copy(wheel, project)
        (project / "index.html").write_text(f'<a href="{wheel.name}">{wheel.name}</a>\n', encoding="utf-8")

    class Quiet(SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=str(root)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/simple/"


@pytest.mark.e2e
@pytest.mark.parametrize("installer", ["uv", "pip"])
def test_real_installers_install_a_wheel_file_and_replay_a_locked_one_from_its_copy(private_env, tmp_path,
                                                                                    installer):
    python, site = private_env
    e2e.remove_demo_packages(site)
    dep = e2e.build_wheel(tmp_path / "index-wheels", e2e.DEP, "1.0")
    server, url = simple_index(tmp_path / "index", [dep])
    downloads = tmp_path / "Téléchargements d'Ana ü"
    first = e2e.build_wheel(downloads, e2e.EXT, "7.0", (e2e.DEP,))
    first = first.rename(first.with_suffix(".WHL"))  # the installers take only ".whl"
    second = e2e.build_wheel(downloads, e2e.EXT, "8.0", (e2e.DEP,))
    pending = tmp_path / "state" / "pending-extension-ops.json"

    def run(which, *steps, cwd=downloads):
        if which == "uv":
            path = [e2e.uv_directory(tmp_path, e2e.find_uv() or pytest.skip("the uv installer is not available"))]
        else:
            path = [e2e.lock_stand_in(tmp_path)] if which == "locked" else []
        env = e2e.child_environ(tmp_path, tmp_path / "no-links", path_dirs=path, pending=pending)
        # The requirement comes from the configured index, the extension from the file.
        for var in ("PIP_NO_INDEX", "PIP_FIND_LINKS", "UV_OFFLINE", "UV_FIND_LINKS"):
            env.pop(var)
        env.update(PIP_INDEX_URL=url, UV_INDEX_URL=url, NO_PROXY="127.0.0.1", no_proxy="127.0.0.1")
        return e2e.run_child(python, [{"op": op, "args": list(args)} for op, *args in steps], env, cwd=cwd)

    try:
        (install,) = run(installer, ("run_install", first.name))["steps"]
        r = install["result"]
        assert (r["ok"], r["deferred"]) == (True, False), r
        assert Path(r["command"][-1]).name == first.stem + ".whl" and first.is_file()
        assert install["installed"] == {e2e.EXT: "7.0", e2e.DEP: "1.0", e2e.LOCKED: None}
        assert install["index_requests"] == []  # the requirements came from the file

        (upgrade,) = run("locked", ("run_upgrade", str(second)))["steps"]
        assert upgrade["result"]["deferred"] and upgrade["installed"][e2e.EXT] == "7.0"
        assert json.loads(pending.read_text(encoding="utf-8")) == {"uninstall": [], "install": [e2e.EXT]}
        assert str(second) in (tmp_path / "locked-uv-calls.txt").read_text(encoding="utf-8")
        shutil.rmtree(downloads)  # the download folder is cleaned before the next start

        (replay,) = run(installer, ("process_pending_operations",), cwd=tmp_path)["steps"]
        assert replay["result"] == [f"install {e2e.EXT}"] and replay["installed"][e2e.EXT] == "8.0"
        assert sorted(p.name for p in pending.parent.iterdir()) == [pending.name + ".lock"]
    finally:
        server.shutdown()
        e2e.remove_demo_packages(site)


# ---------------------------------------------------------------------------------- the command

def test_the_command_names_the_file_it_refuses_and_the_file_a_queued_install_came_from(ww, tmp_path,
                                                                                       monkeypatch):
    import cli_support as cs

    env = cs.cli_environ(tmp_path)
    (tmp_path / "bad dir").mkdir()
    placed(lambda p: p.write_bytes(b"PK not a zip"))(tmp_path / "bad dir")
    monkeypatch.chdir(tmp_path)
    proc = cs.run_cli(["install", f"bad dir/{FILE}"], env)
    assert proc.returncode == 1 and "Installing" in proc.stdout
    assert f"Failed: {tmp_path / 'bad dir' / FILE}: not a wheel: not a zip archive" in proc.stdout

    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", env["TALVEX_PENDING_OPS_FILE"])
    wheel = built(tmp_path / "Téléchargements")
    assert ww.queue_pending_op("install", NAME, wheel=wheel)
    (entry,) = json.loads(cs.run_cli(["pending", "--json"], env).stdout)
    assert entry["file"] == str(wheel) and Path(entry["copy"]).read_bytes() == wheel.read_bytes()
    lines = cs.run_cli(["pending"], env).stdout.splitlines()
    assert lines[1].split() == ["OPERATION", "PACKAGE", "FAILED", "STARTS", "FROM", "FILE"]
    assert lines[2].split(None, 3) == ["install", NAME, "0", str(wheel)]
