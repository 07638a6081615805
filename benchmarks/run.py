"""Benchmark suite: every figure side by side with a plain-Python rendering.

Each plain-Python rendering is a few lines written from the behaviour the
module documents; both are timed in the same run, and the table shows the
native figure, the plain-Python figure and their ratio.

    python benchmarks/run.py [--quick] [--repeat N] [--no-link] [--no-queue]

The catalog over a paced link (catalog_link_bench.py) and over HTTPS with round-trip
latency (catalog_tls_bench.py, which also prints the hostile-index figures when run by
itself) run each side in a child process; their rows are medians of 3 runs (1 with
--quick). The pending-operations queue (queue_bench.py) times its plain-Python side,
which is quadratic, once.

The built modules are found through TALVEX_SITE (a developer build's site
directory) or the installed package.
"""

import argparse
import gc
import os
import pathlib
import random
import re
import statistics
import subprocess
import sys
import time
import timeit
import tracemalloc
import urllib.request

site = os.environ.get("TALVEX_SITE")
if site:
    sys.path.insert(0, site)
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import catalog_bench  # noqa: E402
import catalog_link_bench  # noqa: E402
import catalog_tls_bench  # noqa: E402
import queue_bench  # noqa: E402
import talvex.core.extensions.wheelwork as ww  # noqa: E402

ESC = "\x1b"


# --- plain-Python renderings -------------------------------------------------

def py_sanitize(text, *, limit=4000):
    s = str(text) if text else ""
    s = ww._ANSI_ESCAPE_RE.sub("", s)
    s = s.replace("\r\n", "\n").replace("\r", "\n")
    s = "".join(
        ch for ch in s
        if ch in "\n\t"
        or not (ord(ch) < 32 or 127 <= ord(ch) <= 159) and (ch.isprintable() or ch.isspace())
    ).strip()
    return s[-limit:] if limit > 0 and len(s) > limit else s


def py_decode(data):
    if data is None:
        return ""
    if isinstance(data, str):
        return data
    if not data:
        return ""
    import locale

    preferred = locale.getpreferredencoding(False) or ""
    for encoding in ("utf-8", "utf-8-sig", preferred, "cp1252", "gbk", "latin-1"):
        if not encoding:
            continue
        try:
            return data.decode(encoding)
        except (LookupError, UnicodeDecodeError):
            continue
    return data.decode("utf-8", errors="replace")


def py_normalize_dist_name(name):
    s = str(name or "").strip().lower().replace(" ", "-")
    return re.sub(r"[-_.]+", "-", s).strip("-")


def py_normalize_pypi_name(name):
    return py_normalize_dist_name(name)


_OPERATORS = ("===", "==", "!=", "~=", ">=", "<=", ">", "<")


def py_package_name_only(package):
    text = str(package or "").strip()
    if not text:
        return ""
    text = text.split(";", 1)[0].strip()
    if "[" in text:
        text = text.split("[", 1)[0].strip()
    cuts = [text.find(op) for op in _OPERATORS if op in text]
    if cuts:
        text = text[: min(cuts)].strip()
    return text


_HIDDEN = frozenset({"talvex-extension-sdk", "talvex-ext-sdk"})


def py_is_user_visible(name, *, prefix="talvex-ext-"):
    key = py_normalize_pypi_name(name)
    if not key or key in _HIDDEN or key.startswith("talvex-extension-"):
        return False
    return key.startswith(py_normalize_pypi_name(prefix))


def py_display_name(package):
    slug = py_normalize_dist_name(package)
    if slug.startswith("talvex-ext-"):
        slug = slug[11:]
    elif slug.startswith("talvex-"):
        slug = slug[7:]
    words = [w for w in slug.replace("_", "-").split("-") if w]
    if not words:
        return package if package else "Extension"
    return " ".join(w[:1].upper() + w[1:] for w in words)


def py_parse_url(url):
    text = str(url or "").strip()
    if not text:
        return ""
    match = ww._PYPI_PROJECT_RE.search(text)
    if match:
        return match.group(1).strip().rstrip("/")
    name = pathlib.Path(text.split("?", 1)[0]).name
    if not name.endswith((".whl", ".tar.gz", ".zip")):
        return ""
    for suffix in (".tar.gz", ".whl", ".zip"):
        if name.endswith(suffix):
            stem = name[: -len(suffix)]
            break
    parts = stem.split("-")
    if len(parts) >= 2 and re.match(r"^\d", parts[-1] or ""):
        return "-".join(parts[:-1])
    return stem.replace("_", "-")


def py_list_extensions(fetch_simple, *, prefix="talvex-ext-", max_packages=120):
    """The catalog listing without metadata: filter, sort, cap, stub entries."""
    from concurrent.futures import ThreadPoolExecutor, as_completed

    simple = fetch_simple()
    projects = simple.get("projects") if isinstance(simple, dict) else None
    if not isinstance(projects, list):
        raise RuntimeError("Unexpected PyPI simple index response")
    names = []
    for project in projects:
        if not isinstance(project, dict):
            continue
        name = str(project.get("name") or "").strip()
        if py_is_user_visible(name, prefix=prefix):
            names.append(name)
    names.sort(key=str.lower)
    if max_packages > 0:
        names = names[: int(max_packages)]
    if not names:
        return []

    def meta_entry(pkg):
        return {"id": pkg, "name": py_display_name(pkg), "version": "", "package": pkg,
                "description": "", "raw": {"name": pkg}}

    by_name = {}
    with ThreadPoolExecutor(max_workers=1 if len(names) == 1 else min(8, len(names))) as pool:
        futures = {pool.submit(meta_entry, n): n for n in names}
        for future in as_completed(futures):
            by_name[futures[future]] = future.result()
    return [by_name[n] for n in names if n in by_name]


def py_quote_arg(value):
    text = str(value)
    if not text or " " in text or "\t" in text or '"' in text:
        return '"' + text.replace('"', '\\"') + '"'
    return text


# --- inputs --------------------------------------------------------------------

def installer_output(size, seed=3):
    """Realistic installer console output: colour, progress redraws, UTF-8 names."""
    rng = random.Random(seed)
    names = ["numpy", "scipy", "talvex-ext-dicom-viewer", "h5py", "pillow", "tifffile"]
    lines = []
    total = 0
    while total < size:
        name = rng.choice(names)
        pieces = [
            f"Collecting {name}>=1.{rng.randint(0, 30)}\n",
            f"  Downloading {name}-2.{rng.randint(0, 9)}.0-cp313-cp313-win_amd64.whl (12.{rng.randint(0, 9)} MB)\n",
        ]
        for pct in range(0, 101, 20):
            pieces.append(f"\r   {ESC}[32m{'━' * (pct // 5)}{ESC}[0m{ESC}[2m{'╺' * (20 - pct // 5)}{ESC}[0m "
                          f"{pct}% {rng.random() * 9:.1f} MB/s")
        pieces.append("\r\n")
        if rng.random() < 0.05:
            pieces.append(f"{ESC}]0;uv pip install{chr(7)}Building wheel for Grüße-Paket (中文 name)…\n")
        if rng.random() < 0.02:
            pieces.append("warning: stray control \x08\x00 characters\n")
        chunk = "".join(pieces)
        lines.append(chunk)
        total += len(chunk)
    return "".join(lines)[:size]


def ascii_output(size, seed=5):
    """Mostly-ASCII installer output: plain log lines with a few colour codes."""
    rng = random.Random(seed)
    out, total = [], 0
    while total < size:
        line = (f"{ESC}[1mResolved{ESC}[0m {rng.randint(1, 90)} packages in {rng.randint(1, 999)}ms\n"
                f"  + talvex-ext-demo==1.{rng.randint(0, 9)}.{rng.randint(0, 9)}\n"
                f"Installed {rng.randint(1, 9)} packages in {rng.random():.2f}s\n")
        out.append(line)
        total += len(line)
    return "".join(out)[:size]


# --- measuring -------------------------------------------------------------------

def median_of(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def per_call(fn, arg, number, repeat):
    timer = timeit.Timer("fn(arg)", globals={"fn": fn, "arg": arg})
    return statistics.median(timer.repeat(repeat=repeat, number=number)) / number


rows = []


def row(what, native, python, unit, ratio, target=""):
    rows.append((what, native, python, unit, ratio, target))


def bench_text(repeat, size):
    text = installer_output(size)
    plain = ascii_output(size)
    mb = len(text.encode()) / 1e6
    mb_plain = len(plain.encode()) / 1e6
    assert ww.sanitize_cli_text(text, limit=0) == py_sanitize(text, limit=0)
    assert ww.sanitize_cli_text(plain, limit=0) == py_sanitize(plain, limit=0)
    for label, data, size_mb in (("installer output", text, mb), ("mostly-ASCII output", plain, mb_plain)):
        n = median_of(lambda: ww.sanitize_cli_text(data), repeat)
        p = median_of(lambda: py_sanitize(data), max(1, repeat // 2))
        row(f"sanitize_cli_text, {size // 2**20} MiB {label}", size_mb / n, size_mb / p, "MB/s", p / n,
            ">= 20x" + (", >= 300 MB/s" if "ASCII" in label else ""))
    raw_utf8 = text.encode("utf-8")
    legacy = plain.replace("…", "...").encode("cp1252")
    legacy = legacy.replace(b"Installed", b"Install\x93d\x94")  # bytes UTF-8 rejects
    for label, data in (("UTF-8", raw_utf8), ("cp1252", legacy)):
        assert ww._decode_cli_bytes(data) == py_decode(data)
        n = median_of(lambda: ww._decode_cli_bytes(data), repeat)
        p = median_of(lambda: py_decode(data), repeat)
        row(f"_decode_cli_bytes, {size // 2**20} MiB {label}", len(data) / 1e6 / n, len(data) / 1e6 / p, "MB/s", p / n)


def bench_names(repeat):
    host = re.match(r"\(\?:(.*?)\|", ww._PYPI_PROJECT_RE.pattern).group(1).replace("\\.", ".")
    cases = [
        ("normalize_pypi_name", py_normalize_pypi_name, "Talvex_Ext_Demo"),
        ("_package_name_only", py_package_name_only, "talvex-ext-demo[gui]>=1.0; python_version > '3.8'"),
        ("is_user_visible_extension_package", py_is_user_visible, "Talvex_Ext_Viewer"),
        ("display_name_from_pypi_package", py_display_name, "talvex-ext-dicom_viewer"),
        ("parse_pypi_project_from_url", py_parse_url, f"https://{host}/project/Talvex-Ext-Demo/"),
        ("parse_pypi_project_from_url", py_parse_url,
         "https://files.example.invalid/p/talvex_ext_demo-1.2.0.tar.gz?x=1"),
        ("_quote_arg", py_quote_arg, r"C:\Program Files\Talvex\python.exe"),
    ]
    for name, python, arg in cases:
        native = getattr(ww, name)
        assert native(arg) == python(arg), (name, native(arg), python(arg))
        n = per_call(native, arg, 100_000, repeat)
        p = per_call(python, arg, 100_000, repeat)
        label = name if "url" not in name else f"{name} ({'project page' if '/project/' in arg else 'file link'})"
        row(f"{label}, per call", n * 1e9, p * 1e9, "ns", p / n, ">= 5x")


def peak_memory(fn):
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def bench_catalog(repeat):
    import json

    doc = catalog_bench.make_document(700_000, 400)
    original = ww._http_json
    ww._http_json = lambda url, *, timeout, headers=None: doc
    try:
        entries = ww.list_pypi_talvex_extensions(fetch_metadata=False)
        n = median_of(lambda: ww.list_pypi_talvex_extensions(fetch_metadata=False), repeat)
        native_peak = peak_memory(lambda: ww.list_pypi_talvex_extensions(fetch_metadata=False))
    finally:
        ww._http_json = original
    assert entries == py_list_extensions(lambda: doc)
    p = median_of(lambda: py_list_extensions(lambda: doc), max(1, repeat // 2))
    python_peak = peak_memory(lambda: py_list_extensions(lambda: doc))
    row("catalog listing (filter + sort), 700,000 names", n * 1e3, p * 1e3, "ms", p / n,
        ">= 10x, < 150 ms")
    row("catalog listing, peak traced memory", native_peak / 1e3, python_peak / 1e3, "kB",
        python_peak / max(native_peak, 1))

    body = json.dumps(doc).encode()
    server = catalog_bench.Server(body)
    real_urlopen = urllib.request.urlopen

    def routed(request, *a, **kw):
        request.full_url = server.base + "/" + request.full_url.split("/", 3)[3]
        return real_urlopen(request, *a, **kw)

    def fetch_over_http():
        with routed(urllib.request.Request("https://index.invalid/simple/")) as response:
            return json.loads(response.read().decode("utf-8", errors="replace"))

    urllib.request.urlopen = routed
    try:
        n_http = median_of(lambda: ww.list_pypi_talvex_extensions(fetch_metadata=False), repeat)
        p_http = median_of(lambda: py_list_extensions(fetch_over_http), max(1, repeat // 2))
    finally:
        urllib.request.urlopen = real_urlopen
        server.close()
    row("catalog listing end to end over local HTTP", n_http * 1e3, p_http * 1e3, "ms", p_http / n_http)


IMPORTS = {
    "talvex.core.extensions.wheelwork":
        "import importlib.metadata, json, logging, os, re, shutil, subprocess, sys, time, "
        "collections.abc, dataclasses, pathlib, typing",
    "talvex.utils.relauncher": "import logging, os, sys, time, pathlib, typing",
    "talvex.utils.aboutmeta": "import re, sys, importlib.metadata, pathlib, typing",
}


def bench_imports(repeat):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (site, env.get("PYTHONPATH")) if p)
    for module, stdlib in IMPORTS.items():
        # The host's own namespace package (talvex, talvex.utils ...) is imported
        # before the module, untimed: in the application it is always there already.
        package = module.rsplit(".", 1)[0]
        code = (
            "import time; t0 = time.perf_counter(); " + stdlib + "; t1 = time.perf_counter(); "
            f"import {package}; t2 = time.perf_counter(); import {module}; t3 = time.perf_counter(); "
            "print(t1 - t0, t3 - t2)"
        )
        std, own = [], []
        for _ in range(max(5, repeat)):
            out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                                 check=True).stdout.split()
            std.append(float(out[0]))
            own.append(float(out[1]))
        s, o = statistics.median(std), statistics.median(own)
        rows.append((f"import {module.rsplit('.', 1)[1]}: own frame vs its standard modules", o * 1e3,
                     s * 1e3, "ms", f"{100 * o / s:.1f}%", "frame < 10% of stdlib"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="1 MiB texts and fewer repeats")
    parser.add_argument("--no-link", action="store_true",
                        help="leave out the catalog over a paced link and over HTTPS (about 2 min)")
    parser.add_argument("--no-queue", action="store_true",
                        help="leave out the queue at size (its plain-Python side takes minutes)")
    args = parser.parse_args()
    size = (1 if args.quick else 8) * 1024 * 1024
    repeat = 3 if args.quick else args.repeat

    bench_text(repeat, size)
    bench_names(repeat)
    bench_catalog(repeat)
    if not args.no_link:
        rows.extend(catalog_link_bench.measure(repeat=1 if args.quick else 3))
        tls_rows, _ = catalog_tls_bench.summarize(catalog_tls_bench.measure_link(repeat=1 if args.quick else 3))
        rows.extend(tls_rows)
    if not args.no_queue:
        rows.extend(queue_bench.measure(repeat, *((8_000, 500) if args.quick else (80_000, 2_000))))
    bench_imports(repeat)

    width = max(len(r[0]) for r in rows)
    print(f"{'benchmark':<{width}}  {'native':>10}  {'plain Python':>12}  {'unit':<5} {'ratio':>7}  target")
    for what, native, python, unit, ratio, target in rows:
        shown = ratio if isinstance(ratio, str) else f"{ratio:.1f}x"
        print(f"{what:<{width}}  {native:>10.1f}  {python:>12.1f}  {unit:<5} {shown:>7}  {target}")


if __name__ == "__main__":
    main()
