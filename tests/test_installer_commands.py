import pytest

EXE = "/opt/talvex/bin/python3"


@pytest.fixture
def installer(ww, monkeypatch):
    """choose(uv, executable): put uv on the search path or not, set the interpreter."""
    def choose(uv, executable=EXE):
        found = "/usr/local/bin/uv" if uv else None
        monkeypatch.setattr(ww.shutil, "which", lambda name: found if name == "uv" else None)
        monkeypatch.setattr(ww.sys, "executable", executable)

    return choose


def test_vectors_follow_search_path_at_each_call(ww, installer):
    p = "talvex-ext-demo"
    installer(uv=True)
    uv_install = ["uv", "pip", "install", "--python", EXE, "--upgrade",
                  "--reinstall-package", p, "--no-deps", "--no-cache", p]
    assert ww._install_argv(p) == ww._install_argv(p, force_target=True) == uv_install
    assert ww._uninstall_argv(p) == ["uv", "pip", "uninstall", "--python", EXE, p]
    assert (ww.prefer_uv(), ww.installer_label()) == (True, "uv pip")

    installer(uv=False)
    assert ww._install_argv(p) == [EXE, "-m", "pip", "install", "--upgrade",
                                   "--force-reinstall", "--no-deps", "--no-cache-dir", p]
    assert ww._uninstall_argv(p) == [EXE, "-m", "pip", "uninstall", "-y", p]
    assert (ww.prefer_uv(), ww.installer_label(), ww._uv_python_args()) == (False, "pip", [])


@pytest.mark.parametrize("executable, pair", [
    ("", []), ("   ", []), (None, []), ("  /x/python  ", ["--python", "/x/python"])])
def test_uv_python_pair_from_interpreter_path(ww, installer, executable, pair):
    installer(uv=True, executable=executable)
    assert ww._uv_python_args() == pair
    assert ww._uninstall_argv("p") == ["uv", "pip", "uninstall", *pair, "p"]
    assert ww._install_argv("p")[: 4 + len(pair)] == ["uv", "pip", "install", *pair, "--upgrade"]
    installer(uv=False, executable=executable)
    assert ww._uninstall_argv("p")[0] == executable  # pip gets the path unstripped


def test_display_strings(ww, installer):
    installer(uv=True)
    spec = "talvex-ext-demo[gui]>=1.2"
    line = ww.install_command(spec)
    assert line == (f"uv pip install --python {EXE} --upgrade --reinstall-package "
                    "talvex-ext-demo --no-deps --no-cache talvex-ext-demo")
    assert ww.upgrade_command(spec) == ww.install_command(spec, upgrade=True) == line
    assert ww.uninstall_command(spec) == f"uv pip uninstall --python {EXE} talvex-ext-demo"

    installer(uv=False, executable="C:/Program Files/Talvex/python.exe")
    assert ww.uninstall_command("talvex-ext-demo") == (
        '"C:/Program Files/Talvex/python.exe" -m pip uninstall -y talvex-ext-demo')


@pytest.mark.parametrize("name,locked", [
    ("numpy", True), ("NumPy", True), ("PySide6_Addons", True), ("shiboken6", True),
    ("pyside2", True), ("Talvex", True), ("talvex-ext-demo", False), ("numpy-financial", False),
])
def test_locked_runtime_packages(ww, name, locked):
    assert ww._is_locked_runtime_package(name) is locked

