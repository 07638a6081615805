import sys
import types

import pytest


@pytest.fixture
def fake_modules(monkeypatch):
    names = [
        "talvex_ext_demo",
        "talvex_ext_demo.sub",
        "talvex_ext_demo.sub.deep",
        "talvex_ext_demo2",
        "talvex_ext_demox.sub",
        "other.talvex_ext_demo",
    ]
    for name in names:
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name))
    return names


@pytest.fixture
def gc_calls(monkeypatch):
    import gc

    calls = []
    monkeypatch.setattr(gc, "collect", lambda *a: calls.append(a) or 0)
    return calls


def test_removes_package_and_submodules_only(ww, fake_modules, gc_calls):
    assert ww.purge_imported_package_modules("talvex-ext-demo") == 3
    for name in ("talvex_ext_demo", "talvex_ext_demo.sub", "talvex_ext_demo.sub.deep"):
        assert name not in sys.modules
    for name in ("talvex_ext_demo2", "talvex_ext_demox.sub", "other.talvex_ext_demo"):
        assert name in sys.modules
    assert len(gc_calls) == 1


def test_dotted_name_addresses_a_subpackage(ww, fake_modules, gc_calls):
    assert ww.purge_imported_package_modules("talvex_ext_demo.sub") == 2
    assert "talvex_ext_demo" in sys.modules


@pytest.mark.parametrize("names", [(), ("  ",), ("", None)])
def test_nothing_to_purge_runs_no_collection(ww, fake_modules, gc_calls, names):
    before = dict(sys.modules)
    assert ww.purge_imported_package_modules(*names) == 0
    assert sys.modules == before
    assert gc_calls == []


def test_case_sensitive_and_duplicates_counted_once(ww, fake_modules, gc_calls):
    assert ww.purge_imported_package_modules("Talvex-Ext-Demo") == 0
    assert "talvex_ext_demo" in sys.modules
    assert len(gc_calls) == 1  # a non-empty prefix set always collects
    assert ww.purge_imported_package_modules("talvex-ext-demo", " talvex_ext_demo ") == 3


def test_module_table_reached_through_module_namespace(ww, monkeypatch, gc_calls):
    table = {"talvex_ext_demo": 1, "talvex-ext-demo.x": 2, "keep": 3}
    monkeypatch.setattr(ww, "sys", types.SimpleNamespace(modules=table))
    assert ww.purge_imported_package_modules("talvex-ext-demo") == 2
    assert table == {"keep": 3}


def test_keyword_arguments_rejected(ww):
    with pytest.raises(TypeError):
        ww.purge_imported_package_modules(names="x")
