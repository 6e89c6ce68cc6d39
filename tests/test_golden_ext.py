"""ostrilo_ext gives the recorded bits on every platform (tools/make_golden_ext.py writes the
rows, tests/golden/ext_results.txt holds them; see tests/test_golden.py for what is compared and
what is not)."""
import importlib.util
from pathlib import Path

import pytest

pytest.importorskip("ostrilo_ext")
ROOT = Path(__file__).resolve().parent.parent


def _load(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


make_golden_ext = _load("make_golden_ext")
RECORDED = make_golden_ext.mg.read_golden(make_golden_ext.GOLDEN)


@pytest.mark.parametrize("name, make", make_golden_ext.SECTIONS, ids=[name for name, _ in make_golden_ext.SECTIONS])
def test_golden_results(name, make):
    recorded = RECORDED.get(name)
    assert recorded, f"no [{name}] section in {make_golden_ext.GOLDEN}: run tools/make_golden_ext.py"
    problems = make_golden_ext.mg.compare(name, make(), recorded)
    assert not problems, f"{len(problems)} differences, first ones:\n" + "\n".join(problems[:25])


def test_every_recorded_section_is_generated():
    assert sorted(RECORDED) == sorted(name for name, _ in make_golden_ext.SECTIONS)
