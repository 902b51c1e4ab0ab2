"""Seeded fuzzing of damaged workbooks (see scripts/fuzz.py for longer runs)."""

import pytest

import fuzz

pytestmark = pytest.mark.slow

SUITE_SEED = 20240607
SUITE_CASES = 500


def test_damaged_workbooks_never_crash_hang_or_lose_the_file():
    report = fuzz.run_campaign(SUITE_CASES, SUITE_SEED, jobs=2, batch=250, timeout=120)
    summary = fuzz.describe(report)
    assert not report.failures, summary
    assert sum(report.outcomes.values()) == SUITE_CASES, summary
    # The damage must reach past the archive layer: some cases load, and the
    # failures come from many places, not just one zip error.
    assert report.outcomes["ok"] >= SUITE_CASES // 20, summary
    assert len(report.outcomes) >= 6, summary


def test_a_crash_is_reported_with_its_seed():
    seeds = fuzz.case_seeds(1, 6)
    report = fuzz.run_campaign(0, 0, jobs=1, timeout=60, seeds=seeds,
                               env={fuzz.SELFTEST_ENV: "crash:%d" % seeds[2]})
    crashes = [f for f in report.failures if f[1] == "crash"]
    assert [f[0] for f in crashes] == [seeds[2]], fuzz.describe(report)
    assert "SIGABRT" in crashes[0][2]
    assert sum(report.outcomes.values()) == 6
    assert "--replay %d" % seeds[2] in fuzz.describe(report)


def test_a_hang_is_reported_with_its_seed():
    seeds = fuzz.case_seeds(2, 3)
    report = fuzz.run_campaign(0, 0, jobs=1, timeout=8, seeds=seeds,
                               env={fuzz.SELFTEST_ENV: "hang:%d" % seeds[1]})
    hangs = [f for f in report.failures if f[1] == "hang"]
    assert [f[0] for f in hangs] == [seeds[1]], fuzz.describe(report)
    assert sum(report.outcomes.values()) == 3
