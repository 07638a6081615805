"""Installer runs: real child processes, the hidden-window settings, lock detection."""

import logging
import os
import subprocess
import sys

import pytest

PY = sys.executable
CHILD_ENV = ("PYTHONUNBUFFERED", "PYTHONIOENCODING", "PYTHONUTF8", "UV_LINK_MODE")


def child(code, *extra):
    return [PY, "-c", code, *extra]


# --- real children ------------------------------------------------------------------


@pytest.mark.parametrize("code, expected", [
    ("import sys; print('to out'); print('to err', file=sys.stderr)",
     (True, 0, "to out", "to err", "to err")),
    ("print('resolver said no'); raise SystemExit(3)",
     (False, 3, "resolver said no", "", "resolver said no")),
])
def test_streams_kept_apart(ww, code, expected):
    result = ww._run(child(code))
    assert isinstance(result, ww.PipResult) and result.deferred is False
    assert (result.ok, result.returncode, result.stdout, result.stderr, result.output) == expected
    assert result.command == (PY, "-c", code)


def test_child_killed_by_a_signal(ww):
    if sys.platform == "win32":
        pytest.skip("POSIX signals")
    result = ww._run(child("import os, signal; os.kill(os.getpid(), signal.SIGKILL)"))
    assert (result.ok, result.returncode) == (False, -9)


def test_output_is_decoded_cleaned_and_cut(ww):
    code = ("import sys; sys.stderr.write('x' * 5000 + 'END'); "
            "sys.stdout.buffer.write(b'\\x1b[32mdone\\x1b[0m\\r\\n\\x93ok\\x94\\r\\n')")
    result = ww._run(child(code))
    assert result.stdout == "done\n\u201cok\u201d"
    assert result.stderr == "x" * 3997 + "END"


def test_missing_program_gives_127(ww, tmp_path):
    missing = tmp_path / "no-such-installer"
    result = ww._run([missing, "pip", "install", "x"])
    assert (result.ok, result.returncode, result.stdout) == (False, 127, "")
    assert result.command == (str(missing), "pip", "install", "x")
    # the program as OSError shows a file name (on Windows the exception itself names none)
    assert result.stderr.startswith(("[Errno 2] ", "[WinError 2] ")) and result.stderr.endswith(f": {str(missing)!r}")


@pytest.mark.parametrize("exc, stderr", [
    # Windows: the exception names no file, so the program is added the way OSError shows one
    (FileNotFoundError(2, "The system cannot find the file specified"),
     "[Errno 2] The system cannot find the file specified: 'C:\\\\no where\\\\uv.exe'"),
    # POSIX: the exception's own text already names it
    (FileNotFoundError(2, "No such file or directory", "C:\\no where\\uv.exe"),
     "[Errno 2] No such file or directory: 'C:\\\\no where\\\\uv.exe'"),
])
def test_missing_program_message_names_the_program(ww, monkeypatch, exc, stderr):
    def missing(cmd, **kwargs):
        raise exc

    monkeypatch.setattr(ww.subprocess, "run", missing)
    result = ww._run(["C:\\no where\\uv.exe", "pip"])
    assert (result.ok, result.returncode, result.stdout, result.stderr) == (False, 127, "", stderr)


def test_time_out_gives_124_with_partial_output(ww):
    code = "import time; print('started', flush=True); time.sleep(30)"
    result = ww._run(child(code), timeout=1)
    assert (result.ok, result.returncode, result.deferred) == (False, 124, False)
    assert (result.stdout, result.stderr) == ("started", "timed out after 1s")


def test_time_out_message_formats_the_value_as_given(ww, monkeypatch):
    def expire(cmd, **kwargs):
        raise subprocess.TimeoutExpired(cmd, kwargs["timeout"], output=None, stderr=b"lost")

    monkeypatch.setattr(ww.subprocess, "run", expire)
    assert ww._run(["uv"]).stderr == "timed out after 600.0s"
    assert ww._run(["uv"], timeout=2.5).stderr == "timed out after 2.5s"
    late = ww._run(["uv"], timeout=7)
    assert (late.stderr, late.stdout) == ("timed out after 7s", "")


def test_arguments_as_text_without_a_shell_and_no_input(ww, tmp_path):
    tricky = "$HOME; echo hacked && `id` | *"
    code = "import sys; print('|'.join(sys.argv[1:])); print(repr(sys.stdin.read()))"
    result = ww._run(child(code, tmp_path, None, 3, tricky))
    assert result.command[3:] == (str(tmp_path), "None", "3", tricky)
    assert result.stdout == f"{tmp_path}|None|3|{tricky}\n''"


def test_child_environment(ww, monkeypatch):
    monkeypatch.setenv("PYTHONUTF8", "0")
    monkeypatch.setenv("UV_LINK_MODE", "hardlink")
    monkeypatch.setenv("TALVEX_RUNNER_PROBE", "inherited")
    monkeypatch.delenv("PYTHONIOENCODING", raising=False)
    before = dict(os.environ)
    names = CHILD_ENV + ("TALVEX_RUNNER_PROBE",)
    code = f"import os; print(';'.join(os.environ.get(n, '-') for n in {names!r}))"
    result = ww._run(child(code))
    assert result.stdout == "1;utf-8;1;copy;inherited"
    assert dict(os.environ) == before


# --- what subprocess.run is given ------------------------------------------------------


class FakeRun:
    def __init__(self, returncode=0, stdout=b"", stderr=b""):
        self.calls = []
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return subprocess.CompletedProcess(args[0], self.returncode, self.stdout, self.stderr)


def test_run_keywords(ww, monkeypatch):
    fake = FakeRun(stdout=b"fine\n")
    monkeypatch.setattr(ww.subprocess, "run", fake)
    monkeypatch.setattr(ww, "_subprocess_kwargs", lambda: {"creationflags": 7})
    # The site's network settings complete the child's environment (test_network_settings.py).
    completed = []
    monkeypatch.setattr(ww, "_installer_environment", lambda env: completed.append(dict(env)) or env.update(X_SITE="1"))
    result = ww._run(("uv", "pip", "list"), timeout=12.0)
    assert result == ww.PipResult(True, ("uv", "pip", "list"), 0, "fine", "")
    (args, kwargs), = fake.calls
    assert args == (["uv", "pip", "list"],)
    env = kwargs.pop("env")
    assert kwargs == {"capture_output": True, "text": False, "timeout": 12.0, "check": False,
                      "stdin": subprocess.DEVNULL, "creationflags": 7}
    expected = {**os.environ, **dict(zip(CHILD_ENV, ("1", "utf-8", "1", "copy")))}
    assert completed == [expected]
    assert type(env) is dict and list(env.items()) == list({**expected, "X_SITE": "1"}.items())


# The call fails while its keywords are merged, before the real subprocess.run starts anything,
# and the message names the callee as the interpreter does.
@pytest.mark.parametrize("extra, message", [
    ({"env": {}}, r"^subprocess\.run\(\) got multiple values for keyword argument 'env'$"),
    (None, r"^subprocess\.run\(\) argument after \*\* must be a mapping, not NoneType$"),
])
def test_run_keyword_errors_read_like_the_interpreters(ww, monkeypatch, extra, message):
    monkeypatch.setattr(ww, "_subprocess_kwargs", lambda: extra)
    with pytest.raises(TypeError, match=message):
        ww._run(child("pass"))


def test_run_passes_the_windows_settings(ww, monkeypatch, fake_windows):
    fake = FakeRun()
    monkeypatch.setattr(ww.subprocess, "run", fake)
    ww._run(["uv"])
    kwargs = fake.calls[0][1]
    assert (kwargs["creationflags"], kwargs["startupinfo"].wShowWindow) == (0x08000000, 0)


# A program that cannot be started is a failed run that says which and why, as a missing one is.
@pytest.mark.parametrize("error, stderr", [
    (PermissionError(13, "Permission denied", "/opt/uv"), "[Errno 13] Permission denied: '/opt/uv'"),
    (OSError(8, "Exec format error"), "[Errno 8] Exec format error: 'uv'"),
    (OSError(193, "%1 is not a valid Win32 application"), "[Errno 193] %1 is not a valid Win32 application: 'uv'"),
    (KeyboardInterrupt(), None),
])
def test_start_errors(ww, monkeypatch, error, stderr):
    def fail(*args, **kwargs):
        raise error

    monkeypatch.setattr(ww.subprocess, "run", fail)
    if stderr is None:
        with pytest.raises(KeyboardInterrupt) as caught:
            ww._run(["uv"])
        assert caught.value is error
    else:
        assert ww._run(["uv"]) == ww.PipResult(False, ("uv",), 127, "", stderr)


def test_results_are_built_with_the_current_record_class(ww, monkeypatch):
    monkeypatch.setattr(ww.subprocess, "run", FakeRun(returncode=5, stderr=b"bad"))
    made = []
    monkeypatch.setattr(ww, "PipResult", lambda **fields: made.append(fields) or "made")
    assert ww._run(["uv", "x"]) == "made"
    assert made == [
        {"ok": False, "command": ("uv", "x"), "returncode": 5, "stdout": "", "stderr": "bad",
         "deferred": False}
    ]


def test_run_logs_the_command(ww, caplog):
    caplog.set_level(logging.INFO, logger=ww.__name__)
    ww._run(child("pass", "a b"))
    record, = [r for r in caplog.records if r.name == ww.__name__]
    assert record.levelno == logging.INFO
    assert record.msg == "extension pip: %s"
    assert record.args == (f"{PY} -c pass a b",)


# --- _subprocess_kwargs ------------------------------------------------------------


@pytest.fixture
def fake_windows(ww, monkeypatch):
    class StartupInfo:
        def __init__(self):
            self.dwFlags = 0x100
            self.wShowWindow = 5

    monkeypatch.setattr(ww.sys, "platform", "win32")
    monkeypatch.setattr(ww.subprocess, "STARTUPINFO", StartupInfo, raising=False)
    monkeypatch.setattr(ww.subprocess, "STARTF_USESHOWWINDOW", 1, raising=False)
    monkeypatch.setattr(ww.subprocess, "CREATE_NO_WINDOW", 0x08000000, raising=False)
    return StartupInfo


def test_subprocess_kwargs_elsewhere_are_empty(ww, monkeypatch):
    monkeypatch.setattr(ww.sys, "platform", "linux")
    first = ww._subprocess_kwargs()
    assert first == {} and type(first) is dict and first is not ww._subprocess_kwargs()


def test_subprocess_kwargs_on_windows(ww, monkeypatch, fake_windows):
    kwargs = ww._subprocess_kwargs()
    assert list(kwargs) == ["creationflags", "startupinfo"]
    assert kwargs["creationflags"] == 0x08000000
    info = kwargs["startupinfo"]
    assert isinstance(info, fake_windows)
    assert (info.dwFlags, info.wShowWindow) == (0x101, 0)
    assert ww._subprocess_kwargs()["startupinfo"] is not info
    monkeypatch.delattr(ww.subprocess, "CREATE_NO_WINDOW")  # the value is known without it
    assert ww._subprocess_kwargs()["creationflags"] == 134217728


@pytest.mark.parametrize(
    "blob, locked",
    [
        ("ERROR: Could not install packages due to an OSError: [WinError 32] The process cannot "
         "access the file because it is being used by another process: 'C:\\\\x\\\\mod.pyd'", True),
        ("error: failed to remove file `C:\\x\\_native.pyd`: Access is denied. (os error 5)", True),
        ("PermissionError: [WinError 5] Access is denied", True),
        ("The file is in use", True),
        ("Failed to replace C:\\Program Files\\Talvex\\TALVEX.EXE", True),
        ("uv: OS Error 5", True),
        # pip on a Windows in another language, and under Wine: only the error number is fixed
        ("PermissionError: [WinError 5] Zugriff verweigert: 'C:\\x\\mod.pyd'", True),
        ("PermissionError: [WinError 5] Access denied: 'Z:\\x\\mod.pyd'", True),
        ("PermissionError: [WinError 32] Sharing violation: 'Z:\\x\\demo'", True),
        ("FileNotFoundError: [WinError 2] The system cannot find the file specified", False),
        ("[WinError 50] The request is not supported", False),
        # uv's network errors are no locks; a sharing violation is one in any language
        ("error: Request failed (os error 50)", False), ("(os error 53)", False), ("os error 59", False),
        ("Caused by: Der Prozess kann nicht auf die Datei zugreifen (os error 32)", True),
        ("[WinError 32] Le processus ne peut pas accéder au fichier", True), ("os error 5", True),
        (None, False), ("", False), (0, False), ("os error 2", False),
        ("ERROR: No matching distribution found for talvex-ext-nope", False),
    ],
)
def test_file_lock_texts(ww, blob, locked):
    assert ww._looks_like_file_lock_error(blob) is locked


def test_records_name_the_module_and_the_function(ww, caplog, pending_file, monkeypatch):
    caplog.set_level(logging.DEBUG, logger=ww.__name__)
    ww._run(["no-such-installer-program"])
    monkeypatch.setattr(ww, "run_install", lambda pkg, **kwargs: ww.PipResult(True, (), 0))
    ww.queue_pending_op("install", "talvex-ext-demo")
    ww.process_pending_operations(on_progress=lambda *args: 1 / 0)
    records = {r.msg: r for r in caplog.records}
    assert {(r.pathname, r.filename, r.lineno) for r in caplog.records} == {
        (ww.__file__, os.path.basename(ww.__file__), 0)}
    assert records["extension pip: %s"].funcName == "_run"
    failed = records["Progress callback failed"]
    assert failed.funcName == "process_pending_operations" and type(failed.exc_info[1]) is ZeroDivisionError

    # Whatever keeps a Python module's record from handlers keeps these too.
    caplog.clear()
    for off in (lambda: setattr(ww.logger, "disabled", True), lambda: logging.disable(logging.INFO),
                lambda: ww.logger.addFilter(lambda record: False)):
        with monkeypatch.context() as patch:
            patch.setattr(ww.logger, "filters", [])
            patch.setattr(ww.logger, "disabled", False)
            off()
            try:
                ww._run(["no-such-installer-program"])
            finally:
                logging.disable(logging.NOTSET)
    assert caplog.records == []
    calls = []  # a logger of the host's own kind is called as it is
    monkeypatch.setattr(ww, "logger", type("Stand", (), {"info": lambda self, *args: calls.append(args)})())
    ww._run(["no-such-installer-program"])
    assert calls == [("extension pip: %s", "no-such-installer-program")]
