from __future__ import annotations

from types import SimpleNamespace

import pytest

from lumora import text


@pytest.mark.parametrize(
    "dates",
    [
        ["2026-01-02T03:04:05+00:00", "2026-01-02T03:04:05.123456+00:00", "2026-01-02T03:04:05"],
        ["2026-01-02T03:04:05+00:00", "2026-01-02T03:04:05+01:00", "2026-01-02T03:04:05Z"],
        ["2026-02-30T03:04:05+00:00", "2026-01-02T24:00:00+00:00", "0999-01-02T03:04:05+00:00"],
        ["2026-01-02T03:04:05+00:00\n2026-01-02T03:04:05+00:00"],  # one text of two lines
        ["2026-01-02T03:04:05+00:00", None, "not a date", "\uff12026-01-02T03:04:05"],
    ],
)
def test_dates_show_as_format_date_shows_them(dates):
    assert text._dates(dates) == [text.format_date(d) for d in dates]


def test_dates_cut_to_their_day_beside_one_that_is_none():
    records = [
        SimpleNamespace(
            simulation_id="0" * 16,
            simulation_type="fdtd",
            component_name="c" * 60,
            factory_name="f",
            pdk_name=None,
            status="success",
            simulation_date=date,
            execution_time_seconds=1,
        )
        for date in ("2026-01-02T03:04:05+00:00", "yesterday")
    ]
    lines = text.format_table(records, width=70).splitlines()
    assert [line.split()[-3:] for line in lines[1:]] == [["2026-01-02", "1.00", "s"], ["yesterday", "1.00", "s"]]
    assert all(len(line) <= 70 for line in lines)
