"""End to end: the drivers against the real installers in a private environment.

A virtual environment is made with the test interpreter and given the built
modules; hand-written wheels are served from a local find-links directory that
both installers are pointed at through their environment variables (the product
hands its environment on to the installer). Each scenario runs inside a child
interpreter of that environment, as the application would, and is checked there
with importlib.metadata.
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
    wheels = e2e.build_demo_wheels(root / "wheels")
    python, site = e2e.create_environment(root)
    return {"root": root, "wheels": wheels, "python": python, "site": site}


@pytest.fixture(scope="session")
def uv_binary():
    return e2e.find_uv()


class Scenario:
    """One test's view of the private environment: its own index directory,
    pending-operations file, home and caches."""

    def __init__(self, private_env, uv_binary, tmp_path):
        self.python = private_env["python"]
        self.site = private_env["site"]
        self.wheels = private_env["wheels"]
        self.uv_binary = uv_binary
        self.work = tmp_path
        self.links = tmp_path / "links"
        self.links.mkdir()
        self.pending = tmp_path / "state" / "pending-extension-ops.json"
        for key in ("ext-1.0", "dep-1.0"):
            self.publish(key)

    def publish(self, key):
        shutil.copy(self.wheels[key], self.links)

    def path_dirs(self, installer):
        if installer == "uv":
            if not self.uv_binary:
                pytest.skip("the uv installer is not available")
            return [e2e.uv_directory(self.work, self.uv_binary)]
        if installer == "pip":
            return []
        if installer == "locked":
            return [e2e.lock_stand_in(self.work)[0]]
        raise ValueError(installer)

    def run(self, installer, *steps):
        env = e2e.child_environ(
            self.work, self.links, path_dirs=self.path_dirs(installer), pending=self.pending
        )
        report = e2e.run_child(self.python, list(steps), env, cwd=self.work)
        assert report["prefer_uv"] is (installer != "pip")
        return report["steps"]

    def pending_content(self):
        if not self.pending.exists():
            return None
        return json.loads(self.pending.read_text(encoding="utf-8"))

    def check_installer(self, result, installer, verb):
        """The result's command is the chosen installer working on the private environment."""
        cmd = result["command"]
        if installer == "pip":
            assert cmd[0] == str(self.python) and cmd[1:4] == ["-m", "pip", verb]
        else:
            assert cmd[:3] == ["uv", "pip", verb]
            assert cmd[cmd.index("--python") + 1] == str(self.python)


@pytest.fixture
def scenario(private_env, uv_binary, tmp_path):
    e2e.remove_demo_packages(private_env["site"])
    yield Scenario(private_env, uv_binary, tmp_path)
    e2e.remove_demo_packages(private_env["site"])


def call(op, *args, **kwargs):
    return {"op": op, "args": list(args), "kwargs": kwargs}


def versions(ext=None, dep=None):
    return {EXT: ext, DEP: dep, LOCKED: None}


def log_messages(step, level=None):
    return [msg for lvl, msg in step["logs"] if level is None or lvl == level]


INSTALLERS = ["uv", "pip"]


@pytest.mark.parametrize("installer", INSTALLERS)
def test_install_upgrade_uninstall_in_a_running_application(scenario, installer):
    s = scenario
    steps = s.run(
        installer,
        call("run_install", EXT),
        {"op": "import", "module": "talvex_ext_demo"},
        {"op": "copy", "src": str(s.wheels["ext-2.0"]), "dst": str(s.links)},
        call("run_upgrade", EXT + ">=1.0"),
        {"op": "import", "module": "talvex_ext_demo"},
        call("run_uninstall", EXT),
    )
    install, imported_1, _, upgrade, imported_2, uninstall = steps

    r = install["result"]
    assert (r["ok"], r["returncode"], r["deferred"]) == (True, 0, False), r
    s.check_installer(r, installer, "install")
    assert "--no-deps" in r["command"]
    assert install["installed"] == versions(ext="1.0")
    assert imported_1["result"]["VERSION"] == "1.0"
    # 1.0 declares no requirements, so the index was asked for them: through the
    # module's client, which this test intercepts, never over the network.
    assert [u.endswith(f"/pypi/{EXT}/json") for u in install["index_requests"]] == [True]

    # The upgrade drops the loaded modules, installs 2.0 alone, then its missing
    # dependency in a second run; the locked runtime package stays untouched.
    r = upgrade["result"]
    assert (r["ok"], r["returncode"], r["deferred"]) == (True, 0, False), r
    s.check_installer(r, installer, "install")
    assert upgrade["installed"] == versions(ext="2.0", dep="1.0")
    assert upgrade["in_sys_modules"] == []
    assert upgrade["index_requests"] == []  # requirements came from the local metadata
    dep_runs = [m for m in log_messages(upgrade, "INFO") if m.startswith("extension pip: ")]
    assert len(dep_runs) == 2
    assert dep_runs[1].split()[-1] == DEP and LOCKED not in dep_runs[1]
    assert "Installing missing extension deps (unlocked): talvex-demo-dep" in log_messages(
        upgrade, "INFO"
    )
    assert imported_2["result"]["VERSION"] == "2.0"

    r = uninstall["result"]
    assert (r["ok"], r["returncode"], r["deferred"]) == (True, 0, False), r
    s.check_installer(r, installer, "uninstall")
    assert uninstall["installed"] == versions(dep="1.0")
    assert not (s.site / "talvex_ext_demo").exists()

    assert s.pending_content() is None


@pytest.mark.parametrize("installer", INSTALLERS)
def test_install_repairs_metadata_left_by_an_interrupted_install(scenario, installer):
    s = scenario
    broken = s.site / "talvex_ext_demo-1.0.dist-info"
    broken.mkdir()
    (broken / "RECORD").write_text("talvex_ext_demo/__init__.py,,\n", encoding="utf-8")
    (broken / "INSTALLER").write_text("uv\n", encoding="utf-8")
    leftover = s.site / "talvex_ext_demo"
    leftover.mkdir()
    (leftover / "__init__.py").write_text("# half written\n", encoding="utf-8")

    (install,) = s.run(installer, call("run_install", EXT))

    r = install["result"]
    assert (r["ok"], r["deferred"]) == (True, False), r
    assert install["installed"] == versions(ext="1.0")
    assert (broken / "METADATA").is_file()
    assert 'VERSION = "1.0"' in (leftover / "__init__.py").read_text(encoding="utf-8")
    infos = log_messages(install, "INFO")
    assert f"Cleaned 2 broken path(s) before install of {EXT}" in infos
    assert f"Removed broken package metadata: {broken}" in infos
    assert s.pending_content() is None


@pytest.mark.parametrize("installer", INSTALLERS)
def test_locked_upgrade_is_queued_and_finished_at_the_next_start(scenario, installer):
    s = scenario
    (install,) = s.run(installer, call("run_install", EXT))
    assert install["installed"] == versions(ext="1.0")
    s.publish("ext-2.0")

    # The running application holds the extension: the installer meets a sharing violation.
    upgrade, early_replay = s.run(
        "locked",
        call("run_upgrade", EXT),
        call("process_pending_operations", 0),
    )
    r = upgrade["result"]
    assert (r["ok"], r["deferred"]) == (False, True), r
    assert r["returncode"] == 1
    assert r["stderr"].startswith(f"'{EXT}' is in use by Talvex, so its files could not be updated now.")
    assert "--reinstall-package" in r["command"]
    assert upgrade["installed"] == versions(ext="1.0")
    assert f"Queued install of {EXT} for the next start" in log_messages(upgrade, "INFO")

    # Still locked: the replay gives up after one attempt and keeps the entry.
    assert early_replay["result"] == []
    (stays,) = [
        m for m in log_messages(early_replay, "WARNING")
        if m.startswith(f"Deferred install of {EXT} could not be applied and stays queued: ")
    ]
    assert "close Talvex and run:\n  uv pip install " in stays
    assert not any("retrying" in m for m in log_messages(early_replay))
    assert s.pending_content() == {"uninstall": [], "install": [EXT]}
    assert s.pending.read_text(encoding="utf-8") == (
        '{\n "uninstall": [],\n "install": [\n  "talvex-ext-demo"\n ]\n}'
    )
    calls = (s.work / "locked-uv-calls.txt").read_text(encoding="utf-8").splitlines()
    assert len(calls) == 2 and all(c.startswith("pip install ") for c in calls)

    # Next start, the files are free again: the queued install runs as an upgrade.
    (replay,) = s.run(installer, call("process_pending_operations"))
    assert replay["result"] == [f"install {EXT}"]
    assert replay["installed"] == versions(ext="2.0", dep="1.0")
    assert f"Completed deferred install of {EXT}" in log_messages(replay, "INFO")
    assert not s.pending.exists()
    assert len((s.work / "locked-uv-calls.txt").read_text(encoding="utf-8").splitlines()) == 2


@pytest.mark.parametrize("installer", INSTALLERS)
def test_locked_uninstall_is_queued_and_finished_at_the_next_start(scenario, installer):
    s = scenario
    (install,) = s.run(installer, call("run_install", EXT))
    assert install["installed"] == versions(ext="1.0")

    (uninstall,) = s.run("locked", call("run_uninstall", EXT))
    r = uninstall["result"]
    assert (r["ok"], r["deferred"]) == (False, True), r
    assert r["stderr"].startswith(f"'{EXT}' is in use by Talvex, so its files could not be removed now.")
    assert uninstall["installed"] == versions(ext="1.0")
    assert s.pending_content() == {"uninstall": [EXT], "install": []}

    (replay,) = s.run(installer, call("process_pending_operations"))
    assert replay["result"] == [f"uninstall {EXT}"]
    assert replay["installed"] == versions()
    assert not s.pending.exists()


def test_failed_install_from_the_local_index_is_reported_not_queued(scenario):
    """A name the index does not have fails plainly: no deferral, no queue entry."""
    s = scenario
    (install,) = s.run("pip", call("run_install", "talvex-ext-missing"))
    r = install["result"]
    assert (r["ok"], r["deferred"]) == (False, False)
    assert r["returncode"] not in (0, 124, 127)
    assert s.pending_content() is None
