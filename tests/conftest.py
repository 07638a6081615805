import os
import re
import sys

import pytest

# A developer build (scripts/devbuild OUT) is used when TALVEX_SITE names its
# site directory; otherwise the modules come from the installed wheel.
_site = os.environ.get("TALVEX_SITE")
if _site:
    sys.path.insert(0, _site)
# The runtime's test probe, where it was built apart from the modules (scripts/test).
if os.environ.get("TALVEX_PROBE_DIR"):
    sys.path.insert(0, os.environ["TALVEX_PROBE_DIR"])

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")


@pytest.fixture
def ww():
    import talvex.core.extensions.wheelwork as module

    return module


@pytest.fixture
def index_hosts(ww):
    """The package index's main and test host, as the module's URL pattern names them."""
    alternation = re.match(r"\(\?:(.*?)\)/project/", ww._PYPI_PROJECT_RE.pattern).group(1)
    return [host.replace("\\.", ".") for host in alternation.split("|")]


@pytest.fixture
def pending_file(tmp_path, monkeypatch):
    """A private pending-operations file for the test."""
    path = tmp_path / "pending-extension-ops.json"
    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", str(path))
    return path
