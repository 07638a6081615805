"""End to end: the drivers against the real installers in a private environment.

Hand-written wheels are served from a local find-links directory that both
installers are pointed at through their environment variables (the product hands
its environment on to the installer). Each scenario runs inside a child
interpreter of that environment, as the application would.
"""

from __future__ import annotations

import json
import shutil

import pytest

import e2e_support as e2e
from e2e_support import DEP, EXT, LOCKED

pytestmark = pytest.mark.e2e


@pytest.fixture(scope="session")
def private_env(tmp_path_factory):
    root = tmp_path_factory.mktemp("e2e-env")
    return e2e.build_demo_wheels(root / "wheels"), *e2e.create_environment(root)


class Scenario:
    """One test's view of the private environment: its own find-links directory,
    pending-operations file, home and caches."""

    def __init__(self, private_env, tmp_path):
        self.wheels, self.python, self.site = private_env
        self.work, self.links = tmp_path, tmp_path / "links"
        self.links.mkdir()
        self.pending = tmp_path / "state" / "pending-extension-ops.json"
        self.publish("ext-1.0", "dep-1.0")

    def publish(self, *keys):
        for key in keys:
            shutil.copy(self.wheels[key], self.links)

    def run(self, installer, *steps):
        if installer == "uv":
            uv = e2e.find_uv() or pytest.skip("the uv installer is not available")
            path = [e2e.uv_directory(self.work, uv)]
        else:
            path = [e2e.lock_stand_in(self.work)] if installer == "locked" else []
        env = e2e.child_environ(self.work, self.links, path_dirs=path, pending=self.pending)
        report = e2e.run_child(self.python, list(steps), env, cwd=self.work)
        assert report["prefer_uv"] is (installer != "pip")
        return report["steps"]

    def queued(self):
        return json.loads(self.pending.read_text(encoding="utf-8")) if self.pending.exists() else None

    def check(self, step, installer, verb, **installed):
        """Succeeded, not deferred, by the chosen installer working on the private environment."""
        r = step["result"]
        assert (r["ok"], r["returncode"], r["deferred"]) == (True, 0, False), r
        cmd = r["command"]
        if installer == "pip":
            assert cmd[0] == str(self.python) and cmd[1:4] == ["-m", "pip", verb]
        else:
            assert cmd[:3] == ["uv", "pip", verb] and cmd[cmd.index("--python") + 1] == str(self.python)
        assert step["installed"] == versions(**installed)
        return r


@pytest.fixture
def scenario(private_env, tmp_path):
    e2e.remove_demo_packages(private_env[2])
    yield Scenario(private_env, tmp_path)
    e2e.remove_demo_packages(private_env[2])


def call(op, *args):
    return {"op": op, "args": list(args)}


def versions(ext=None, dep=None):
    return {EXT: ext, DEP: dep, LOCKED: None}


def logs(step, level):
    return [msg for lvl, msg in step["logs"] if lvl == level]


INSTALLERS = pytest.mark.parametrize("installer", ["uv", "pip"])


@INSTALLERS
def test_install_upgrade_uninstall_in_a_running_application(scenario, installer):
    s, load = scenario, {"op": "import", "module": "talvex_ext_demo"}
    install, imported_1, _, upgrade, imported_2, uninstall, missing = s.run(
        installer, call("run_install", EXT), load,
        {"op": "copy", "src": str(s.wheels["ext-2.0"]), "dst": str(s.links)},
        call("run_upgrade", EXT + ">=1.0"), load, call("run_uninstall", EXT),
        call("run_install", "talvex-ext-missing"),
    )
    assert "--no-deps" in s.check(install, installer, "install", ext="1.0")["command"]
    assert imported_1["result"]["VERSION"] == "1.0"
    # 1.0 declares no requirements, so the index was asked for them: through the
    # module's client, which the child intercepts, never over the network.
    assert [u.endswith(f"/pypi/{EXT}/json") for u in install["index_requests"]] == [True]

    # The upgrade drops the loaded modules, installs 2.0 alone, then its missing
    # dependency in a second run; the locked runtime package stays untouched.
    s.check(upgrade, installer, "install", ext="2.0", dep="1.0")
    assert upgrade["in_sys_modules"] == [] and upgrade["index_requests"] == []
    dep_runs = [m for m in logs(upgrade, "INFO") if m.startswith("extension pip: ")]
    assert len(dep_runs) == 2 and dep_runs[1].split()[-1] == DEP and LOCKED not in dep_runs[1]
    assert "Installing missing extension deps (unlocked): talvex-demo-dep" in logs(upgrade, "INFO")
    assert imported_2["result"]["VERSION"] == "2.0"

    s.check(uninstall, installer, "uninstall", dep="1.0")
    assert not (s.site / "talvex_ext_demo").exists()

    # A name the index does not have fails plainly: no deferral, no queue entry.
    r = missing["result"]
    assert (r["ok"], r["deferred"]) == (False, False) and r["returncode"] not in (0, 124, 127)
    assert s.queued() is None


@INSTALLERS
def test_install_repairs_metadata_left_by_an_interrupted_install(scenario, installer):
    s = scenario
    broken, leftover = s.site / "talvex_ext_demo-1.0.dist-info", s.site / "talvex_ext_demo"
    broken.mkdir()
    (broken / "RECORD").write_text("talvex_ext_demo/__init__.py,,\n", encoding="utf-8")
    (broken / "INSTALLER").write_text("uv\n", encoding="utf-8")
    leftover.mkdir()
    (leftover / "__init__.py").write_text("# half written\n", encoding="utf-8")

    (install,) = s.run(installer, call("run_install", EXT))
    s.check(install, installer, "install", ext="1.0")
    assert (broken / "METADATA").is_file()
    assert 'VERSION = "1.0"' in (leftover / "__init__.py").read_text(encoding="utf-8")
    infos = logs(install, "INFO")
    assert f"Cleaned 2 broken path(s) before install of {EXT}" in infos
    assert f"Removed broken package metadata: {broken}" in infos
    assert s.queued() is None


@INSTALLERS
def test_upgrade_to_a_release_that_does_not_build_keeps_the_working_version(scenario, installer):
    s, load = scenario, {"op": "import", "module": "talvex_ext_demo"}
    s.check(s.run(installer, call("run_install", EXT))[0], installer, "install", ext="1.0")
    # The word "metadata" in the build's own error once made the driver uninstall 1.0 and retry.
    e2e.build_failing_sdist(s.links, EXT, "2.0", "could not generate the package metadata of this release")

    upgrade, imported = s.run(installer, call("run_upgrade", EXT), load)
    r = upgrade["result"]
    assert (r["ok"], r["deferred"]) == (False, False) and r["returncode"] not in (0, 124, 127), r
    output = r["stderr"] + r["stdout"]
    assert "could not generate the package metadata of this release" in output
    assert ("metadata-generation-failed" if installer == "pip" else "Failed to build") in output
    assert upgrade["installed"] == versions(ext="1.0") and imported["result"]["VERSION"] == "1.0"
    assert [m for m in logs(upgrade, "INFO") if m.startswith("extension pip: ")] == [" ".join(["extension pip:", *r["command"]])]
    assert f"Install of {EXT} failed in the release being installed; the installed version is left in place" in logs(upgrade, "INFO")
    assert logs(upgrade, "WARNING") == [] and s.queued() is None


@INSTALLERS
def test_locked_changes_are_queued_and_finished_at_the_next_start(scenario, installer):
    s = scenario
    s.check(s.run(installer, call("run_install", EXT))[0], installer, "install", ext="1.0")
    s.publish("ext-2.0")
    calls = s.work / "locked-uv-calls.txt"

    # The running application holds the extension: the installer meets a sharing violation.
    upgrade, early_replay = s.run("locked", call("run_upgrade", EXT), call("process_pending_operations", 0))
    r = upgrade["result"]
    assert (r["ok"], r["deferred"], r["returncode"]) == (False, True, 1), r
    assert r["stderr"].startswith(f"'{EXT}' is in use by Talvex, so its files could not be updated now.")
    assert "--reinstall-package" in r["command"] and upgrade["installed"] == versions(ext="1.0")
    assert f"Queued install of {EXT} for the next start" in logs(upgrade, "INFO")

    # Still locked: the replay gives up after one attempt and keeps the entry.
    assert early_replay["result"] == []
    (stays,) = [m for m in logs(early_replay, "WARNING")
                if m.startswith(f"Deferred install of {EXT} could not be applied and stays queued: ")]
    assert "close Talvex and run:\n  uv pip install " in stays
    assert not any("retrying" in m for _, m in early_replay["logs"])
    assert s.pending.read_text(encoding="utf-8") == '{\n "uninstall": [],\n "install": [\n  "talvex-ext-demo"\n ]\n}'
    assert [c.split()[:2] for c in calls.read_text(encoding="utf-8").splitlines()] == [["pip", "install"]] * 2

    # Next start, the files are free again: the queued install runs as an upgrade.
    (replay,) = s.run(installer, call("process_pending_operations"))
    assert replay["result"] == [f"install {EXT}"] and replay["installed"] == versions(ext="2.0", dep="1.0")
    assert f"Completed deferred install of {EXT}" in logs(replay, "INFO")
    assert not s.pending.exists() and len(calls.read_text(encoding="utf-8").splitlines()) == 2

    (uninstall,) = s.run("locked", call("run_uninstall", EXT))
    r = uninstall["result"]
    assert (r["ok"], r["deferred"]) == (False, True), r
    assert r["stderr"].startswith(f"'{EXT}' is in use by Talvex, so its files could not be removed now.")
    assert uninstall["installed"] == versions(ext="2.0", dep="1.0")
    assert s.queued() == {"uninstall": [EXT], "install": []}

    (replay,) = s.run(installer, call("process_pending_operations"))
    assert replay["result"] == [f"uninstall {EXT}"] and replay["installed"] == versions(dep="1.0")
    assert not s.pending.exists()
