"""Time the broken-install cleanup that runs before every install, in a
site-packages directory of realistic size.

Lays out a site-packages tree: the metadata directories of the distributions
installed beside this interpreter (their real RECORD and top_level.txt files,
PySide6-Essentials' among them when it is there) plus generated ones up to
--dists distributions with --record-lines files each. Then times
``cleanup_broken_package_install`` in three situations, next to a plain-Python
rendering of the same cleanup:

* healthy: the package has healthy metadata (every ordinary install): no claim
  is read;
* claimed: a package directory whose name is no distribution's (``PySide6`` of
  PySide6-Essentials, ``talvex`` of talvex-native): the claims are read until
  one is found;
* orphan: a package directory that nothing claims: every top_level.txt, RECORD
  and installed-files.txt of the directory is read before it is removed (the
  worst case).

The difference between orphan and healthy is the cost of reading the claims.

    TALVEX_SITE=/tmp/b/site python benchmarks/cleanup_claims_bench.py [--dists N] [--repeat R]
"""

import argparse
import os
import shutil
import statistics
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

site = os.environ.get("TALVEX_SITE")
if site:
    sys.path.insert(0, site)

import talvex.core.extensions.wheelwork as ww  # noqa: E402


# --- plain-Python rendering -----------------------------------------------------

def py_project_name(dir_name):
    name = dir_name.lower()
    for suffix in (".dist-info", ".egg-info"):
        if name.endswith(suffix):
            stem = name[: -len(suffix)]
            break
    else:
        return ""
    if "-" not in stem:
        return stem
    parts = stem.split("-")
    for i in range(len(parts) - 1, 1, -1):
        tag = parts[i]
        if tag.startswith("py") and tag[2:3].isdigit() and all(c.isdigit() or c == "." for c in tag[2:]):
            parts = parts[:i]
            break
    return "_".join(parts[:-1])


def py_claims(text, kind, target):
    for line in text.splitlines():
        if kind == "RECORD":
            field = line[1:].split('"', 1)[0] if line.startswith('"') else line.split(",", 1)[0]
        else:
            field = line.strip()
        field = field.replace("\\", "/")
        if kind == "installed-files.txt":
            if not field.startswith("../"):
                continue
            field = field[3:]
        if kind != "top_level.txt" and "/" not in field:
            continue
        top = field.split("/", 1)[0]
        if top and top.lower().replace("-", "_") == target:
            return True
    return False


def py_cleanup(package, roots):
    target = ww.normalize_pypi_name(ww._package_name_only(package)).replace("-", "_")
    removed = []
    for root in roots:
        children = list(root.iterdir())
        mine, others = [], []
        for child in children:
            if child.is_dir() and child.name.lower().endswith((".dist-info", ".egg-info")):
                (mine if py_project_name(child.name) == target else others).append(child)
        healthy = False
        for d in mine:
            if (d / "METADATA").is_file() or (d / "PKG-INFO").is_file():
                healthy = True
            else:
                shutil.rmtree(d)
                removed.append(str(d))
        if healthy:
            continue
        packages = [c for c in children if c.is_dir() and c.name.lower().replace("-", "_") == target]
        if not packages or root.name not in ("site-packages", "dist-packages"):
            continue
        owner = None
        for file in ("top_level.txt", "RECORD", "installed-files.txt"):
            for d in others:
                if file == "installed-files.txt" and not d.name.lower().endswith(".egg-info"):
                    continue
                p = d / file
                if p.is_file() and py_claims(p.read_bytes().decode("utf-8", "replace"), file, target):
                    owner = d
                    break
            if owner:
                break
        if owner is None:
            for p in packages:
                shutil.rmtree(p)
                removed.append(str(p))
    return removed


# --- the tree -----------------------------------------------------------------------

def lay_out(root, dists, record_lines):
    copied = 0
    here = Path(sysconfig.get_path("purelib"))
    for info in sorted(here.glob("*.dist-info")):
        target = root / info.name
        target.mkdir()
        for name in ("METADATA", "RECORD", "top_level.txt"):
            if (info / name).is_file():
                shutil.copyfile(info / name, target / name)
        copied += 1
    for i in range(max(0, dists - copied)):
        info = root / f"generated_dist_{i}-1.{i}.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: generated-dist-{i}\nVersion: 1.{i}\n")
        rows = [f"generated_dist_{i}/module_{j}.py,sha256={'x' * 43},{1000 + j}" for j in range(record_lines)]
        (info / "RECORD").write_text("\n".join(rows + [f"{info.name}/RECORD,,", ""]))
        if i % 2:  # about half of what setuptools builds carries a top_level.txt
            (info / "top_level.txt").write_text(f"generated_dist_{i}\n")
    healthy = root / "talvex_ext_demo-1.0.dist-info"
    healthy.mkdir()
    (healthy / "METADATA").write_text("Metadata-Version: 2.1\nName: talvex-ext-demo\nVersion: 1.0\n")
    (root / "talvex_ext_demo").mkdir()
    claimed = root / "claimed_pkg"
    claimed.mkdir()
    last = sorted(root.glob("*.dist-info"))[-2]  # late in the listing: most claims are read first
    with (last / "RECORD").open("a") as f:
        f.write("claimed_pkg/__init__.py,,\n")
    return copied


def timed(fn, repeat, before=None):
    times = []
    for _ in range(repeat):
        if before:
            before()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dists", type=int, default=300)
    ap.add_argument("--record-lines", type=int, default=60)
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp) / "site-packages"
        root.mkdir()
        copied = lay_out(root, args.dists, args.record_lines)
        infos = list(root.glob("*.dist-info"))
        record_bytes = sum((d / "RECORD").stat().st_size for d in infos if (d / "RECORD").is_file())
        ww._site_packages_roots = lambda: [root]
        orphan = root / "orphan_pkg"

        def make_orphan():
            orphan.mkdir(exist_ok=True)

        rows = []
        for label, package, before in [
            ("healthy (no claims read)", "talvex-ext-demo", None),
            ("claimed (claims read until found)", "claimed-pkg", None),
            ("orphan (every claim read, then removed)", "orphan-pkg", make_orphan),
        ]:
            native = timed(lambda: ww.cleanup_broken_package_install(package), args.repeat, before)
            plain = timed(lambda: py_cleanup(package, [root]), args.repeat, before)
            if before:
                before()
                assert ww.cleanup_broken_package_install(package) == [str(orphan)]
                before()
                assert py_cleanup(package, [root]) == [str(orphan)]
            else:
                assert ww.cleanup_broken_package_install(package) == py_cleanup(package, [root]) == []
            rows.append((label, native, plain))

    print(f"site-packages: {len(infos)} distributions ({copied} copied from this interpreter), "
          f"RECORD files {record_bytes / 1e6:.2f} MB; medians of {args.repeat} runs")
    width = max(len(r[0]) for r in rows)
    print(f"{'cleanup_broken_package_install':<{width}}  {'native':>9}  {'plain Python':>12}  ratio")
    for label, native, plain in rows:
        print(f"{label:<{width}}  {native:>6.2f} ms  {plain:>9.2f} ms  {plain / native:5.1f}x")
    print(f"reading the claims (orphan - healthy): {rows[2][1] - rows[0][1]:.2f} ms native, "
          f"{rows[2][2] - rows[0][2]:.2f} ms plain Python")


if __name__ == "__main__":
    main()
