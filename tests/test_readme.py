"""The README's examples run as written: every ```python block is a doctest."""

import doctest
import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)
    assert any(">>>" in b for b in blocks), "the README has no examples"
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for i, block in enumerate(blocks):
        runner.run(parser.get_doctest(block, {}, f"README block {i}", str(README), 0))
    result = runner.summarize(verbose=False)
    assert result.failed == 0, f"{result.failed} of {result.attempted} README examples failed (see above)"


# A repository path as the README and the site write it: "tools/test.sh", "docs/api/", "ostrilo-py/src/worker_pool.*".
TOP = r"(?:tools|tests|docs|drevan|ostrilo-py|stubs|examples|benchmarks|\.ci|\.github)"
NAMED_PATH = re.compile(rf"(?<![\w/.-])({TOP}/[\w./-]*[\w/])")


def test_named_paths_exist():
    """Files move; prose that still names the old place sends readers nowhere."""
    root = README.parent
    texts = [README, *(root / "docs").rglob("*.rst"), *(root / "docs" / "api").glob("*.toml")]
    named = {(text.relative_to(root), p) for text in texts for p in NAMED_PATH.findall(text.read_text(encoding="utf-8"))}
    missing = sorted(f"{text}: {p}" for text, p in named
                     if not (root / p).exists() and not any((root / p).parent.glob((root / p).name + ".*")))
    assert not missing, f"these name paths that do not exist (moved? update the text): {missing}"
