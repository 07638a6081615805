import pytest

EXE = "/opt/talvex/bin/python3"


@pytest.fixture
def installer(ww, monkeypatch):
    """Switch uv on or off and set the interpreter path the commands name."""
    monkeypatch.setattr(ww.sys, "executable", EXE)

    def choose(uv, executable=EXE):
        found = "/usr/local/bin/uv" if uv else None
        monkeypatch.setattr(ww.shutil, "which", lambda name: found if name == "uv" else None)
        monkeypatch.setattr(ww.sys, "executable", executable)

    return choose


def test_uv_vectors(ww, installer):
    installer(uv=True)
    pkg = "talvex-ext-demo"
    expected = ["uv", "pip", "install", "--python", EXE, "--upgrade",
                "--reinstall-package", pkg, "--no-deps", "--no-cache", pkg]
    assert ww._install_argv(pkg) == expected
    assert ww._install_argv(pkg, force_target=True) == expected
    assert ww._uninstall_argv(pkg) == ["uv", "pip", "uninstall", "--python", EXE, pkg]
    assert ww._uv_python_args() == ["--python", EXE]
    assert ww.prefer_uv() is True
    assert ww.installer_label() == "uv pip"


def test_pip_vectors(ww, installer):
    installer(uv=False)
    pkg = "talvex-ext-demo"
    assert ww._install_argv(pkg) == [EXE, "-m", "pip", "install", "--upgrade",
                                     "--force-reinstall", "--no-deps", "--no-cache-dir", pkg]
    assert ww._uninstall_argv(pkg) == [EXE, "-m", "pip", "uninstall", "-y", pkg]
    assert ww._uv_python_args() == []
    assert ww.prefer_uv() is False
    assert ww.installer_label() == "pip"


@pytest.mark.parametrize("executable", ["", "   ", None])
def test_uv_without_interpreter_path_has_no_python_pair(ww, installer, executable):
    installer(uv=True, executable=executable)
    assert ww._uv_python_args() == []
    assert ww._uninstall_argv("p") == ["uv", "pip", "uninstall", "p"]
    assert "--python" not in ww._install_argv("p")


def test_uv_interpreter_path_is_stripped_but_pip_path_is_not(ww, installer):
    installer(uv=True, executable="  /x/python  ")
    assert ww._uv_python_args() == ["--python", "/x/python"]
    installer(uv=False, executable="  /x/python  ")
    assert ww._uninstall_argv("p")[0] == "  /x/python  "


def test_choice_follows_search_path_at_each_call(ww, installer):
    installer(uv=False)
    assert ww.installer_label() == "pip"
    installer(uv=True)
    assert ww.installer_label() == "uv pip"
    assert ww._uninstall_argv("p")[0] == "uv"


def test_display_strings_use_bare_name(ww, installer):
    installer(uv=True)
    spec = "talvex-ext-demo[gui]>=1.2"
    line = ww.install_command(spec)
    assert line == f"uv pip install --python {EXE} --upgrade --reinstall-package " \
                   "talvex-ext-demo --no-deps --no-cache talvex-ext-demo"
    assert ww.upgrade_command(spec) == line
    assert ww.install_command(spec, upgrade=True) == line
    assert ww.uninstall_command(spec) == f"uv pip uninstall --python {EXE} talvex-ext-demo"


def test_interpreter_path_with_space_is_quoted(ww, installer):
    installer(uv=False, executable="C:/Program Files/Talvex/python.exe")
    assert ww.uninstall_command("talvex-ext-demo") == (
        '"C:/Program Files/Talvex/python.exe" -m pip uninstall -y talvex-ext-demo')
    installer(uv=True, executable="C:/Program Files/Talvex/python.exe")
    assert '--python "C:/Program Files/Talvex/python.exe"' in ww.install_command("x")


def test_commands_follow_replaced_builders(ww, monkeypatch):
    monkeypatch.setattr(ww, "_install_argv", lambda pkg: ["fake", pkg])
    assert ww.install_command("Demo==1") == "fake Demo"


@pytest.mark.parametrize("name,locked", [
    ("numpy", True), ("NumPy", True), ("PySide6_Addons", True), ("shiboken6", True),
    ("pyside2", True), ("talvex", True), ("Talvex", True), ("shiboken6-generator", True),
    ("talvex-ext-demo", False), ("numpy-financial", False), ("", False),
])
def test_locked_runtime_packages(ww, name, locked):
    assert ww._is_locked_runtime_package(name) is locked


def test_signatures_and_docstrings(ww):
    import inspect

    assert str(inspect.signature(ww.install_command)) == \
        "(package: 'str', *, upgrade: 'bool' = False) -> 'str'"
    assert str(inspect.signature(ww._install_argv)) == \
        "(pkg: 'str', *, force_target: 'bool' = False) -> 'list[str]'"
    assert ww.prefer_uv.__doc__ == "True when the ``uv`` CLI is available on PATH."
    assert ww._install_argv.__doc__.startswith(
        "Argv that installs/reinstalls *only* ``pkg`` (``--no-deps``).\n\n    ")
    assert ww._uninstall_argv.__doc__.startswith(
        "Argv that uninstalls *pkg* from the environment Talvex is running in.\n\n    ")
    assert ww._uv_python_args.__doc__.startswith(
        "``--python <interpreter>`` so ``uv pip`` targets the environment Talvex runs in.\n\n")
    assert "No virtual environment found" in ww._uv_python_args.__doc__
    for fn in (ww._install_argv, ww._uninstall_argv, ww._uv_python_args):
        assert fn.__doc__.endswith("\n    ")
    for fn in (ww.installer_label, ww.install_command, ww.uninstall_command,
               ww.upgrade_command, ww._is_locked_runtime_package):
        assert fn.__doc__ is None
