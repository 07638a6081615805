import sys
import types

import pytest


@pytest.fixture
def fake_modules(monkeypatch):
    names = ["talvex_ext_demo", "talvex_ext_demo.sub", "talvex_ext_demo.sub.deep",
             "talvex_ext_demo2", "talvex_ext_demox.sub", "other.talvex_ext_demo"]
    for name in names:
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name))
    return names


@pytest.fixture
def gc_calls(monkeypatch):
    import gc

    calls = []
    monkeypatch.setattr(gc, "collect", lambda *a: calls.append(a) or 0)
    return calls


DEMO = ["talvex_ext_demo", "talvex_ext_demo.sub", "talvex_ext_demo.sub.deep"]


@pytest.mark.parametrize("names, removed, collections", [
    (("talvex-ext-demo",), DEMO, 1),
    (("talvex_ext_demo.sub",), DEMO[1:], 1),  # a dotted name addresses a subpackage
    (("talvex-ext-demo", " talvex_ext_demo "), DEMO, 1),  # duplicates counted once
    (("Talvex-Ext-Demo",), [], 1),  # case-sensitive; a non-empty prefix set always collects
    ((), [], 0),
    (("  ",), [], 0),
    (("", None), [], 0),
])
def test_purge(ww, fake_modules, gc_calls, names, removed, collections):
    before = set(sys.modules)
    assert ww.purge_imported_package_modules(*names) == len(removed)
    assert before - set(sys.modules) == set(removed) and set(sys.modules) <= before
    assert len(gc_calls) == collections


def test_module_table_reached_through_module_namespace(ww, monkeypatch, gc_calls):
    table = {"talvex_ext_demo": 1, "talvex-ext-demo.x": 2, "keep": 3}
    monkeypatch.setattr(ww, "sys", types.SimpleNamespace(modules=table))
    assert ww.purge_imported_package_modules("talvex-ext-demo") == 2
    assert table == {"keep": 3}

