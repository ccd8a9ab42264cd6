"""Listings pause the cyclic collector and always leave it as they found it."""

from __future__ import annotations

import gc
import threading
import time

import pytest
from conftest import identity, outcome


class Fatal(BaseException):
    """Escapes the listing's guard, which only skips ordinary exceptions."""


def _raise(exc):
    raise exc


@pytest.fixture(params=[True, False], ids=["collector-on", "collector-off"])
def collector(request):
    was = gc.isenabled()
    (gc.enable if request.param else gc.disable)()
    yield request.param
    (gc.enable if was else gc.disable)()


def _filter_that(action):
    seen = []

    def matches(result, *filters):
        seen.append(gc.isenabled())
        action()
        return True

    return matches, seen


@pytest.mark.parametrize(
    ("action", "raises", "listed"),
    [
        (lambda: None, None, 1),
        (gc.enable, None, 1),
        (gc.disable, None, 1),
        (lambda: _raise(ValueError()), None, 0),  # logged and skipped
        (lambda: _raise(Fatal()), Fatal, 0),
    ],
    ids=["plain", "filter-enables", "filter-disables", "filter-fails", "filter-escapes"],
)
def test_state_is_restored_on_every_exit(ss, store, monkeypatch, collector, action, raises, listed):
    ss.save_simulation_result(**identity(), **outcome())
    matches, seen = _filter_that(action)
    monkeypatch.setattr(ss, "_matches_filters", matches)
    if raises:
        with pytest.raises(raises):
            ss.list_simulation_results()
    else:
        assert len(ss.list_simulation_results()) == listed
    assert seen[0] is False  # paused while the records pile up
    assert gc.isenabled() is collector


def test_nested_and_concurrent_listings_restore_the_first_state(ss, store, monkeypatch, collector):
    for n in range(4):
        ss.save_simulation_result(**identity(component_settings={"n": n}), **outcome())
    real = ss._matches_filters
    depth = threading.local()

    def matches(result, *filters):
        time.sleep(0.002)  # lets the other threads' listings overlap this one
        if not getattr(depth, "inside", False):
            depth.inside = True
            try:
                ss.list_simulation_results()
            finally:
                depth.inside = False
        return real(result, *filters)

    monkeypatch.setattr(ss, "_matches_filters", matches)
    counts = []
    threads = [threading.Thread(target=lambda: counts.append(len(ss.list_simulation_results()))) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert counts == [4] * 4
    assert gc.isenabled() is collector


@pytest.mark.parametrize("fails", [False, True], ids=["removes", "removal-fails"])
def test_clearing_removes_with_the_collector_paused(ss, store, monkeypatch, collector, fails):
    ss.save_simulation_result(**identity(), **outcome())
    seen = []

    def delete(simulation_id):
        seen.append(gc.isenabled())
        if fails:
            raise Fatal()
        return True

    monkeypatch.setattr(ss, "delete_simulation_result", delete)
    if fails:
        with pytest.raises(Fatal):
            ss.clear_simulation_results()
    else:
        assert ss.clear_simulation_results() == 1
    assert seen == [False]
    assert gc.isenabled() is collector
