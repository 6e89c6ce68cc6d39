"""ostrilo_ext gives the recorded bits on every platform (tools/generate/make_golden_ext.py writes the
rows, tests/golden/ext_results.txt holds them; see tests/test_golden.py for what is compared and
what is not)."""
from pathlib import Path

import pytest
from conftest import load_script
from ostrilo_tools import golden

pytest.importorskip("ostrilo_ext")
ROOT = Path(__file__).resolve().parent.parent


def _load(name):
    return load_script(f"tools/generate/{name}.py")


make_golden_ext = _load("make_golden_ext")
RECORDED = golden.read_golden(make_golden_ext.GOLDEN)


@pytest.mark.parametrize("name, make", make_golden_ext.SECTIONS, ids=[name for name, _ in make_golden_ext.SECTIONS])
def test_golden_results(name, make):
    recorded = RECORDED.get(name)
    assert recorded, f"no [{name}] section in {make_golden_ext.GOLDEN}: run tools/generate/make_golden_ext.py"
    problems = golden.compare(name, make(), recorded)
    assert not problems, f"{len(problems)} differences, first ones:\n" + "\n".join(problems[:25])


def test_every_recorded_section_is_generated():
    assert sorted(RECORDED) == sorted(name for name, _ in make_golden_ext.SECTIONS)
