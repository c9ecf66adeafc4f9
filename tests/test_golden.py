"""Every result bit of the fixed inputs in tests/golden is what it was when the golden
file was last written (tests/golden/make_golden.py explains when to rewrite it)."""

import importlib.util
import json
from pathlib import Path

_SCRIPT = Path(__file__).parent / "golden" / "make_golden.py"
_spec = importlib.util.spec_from_file_location("make_golden", _SCRIPT)
assert _spec is not None and _spec.loader is not None
make_golden = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_golden)


def test_every_result_bit_is_unchanged(capfd):
    golden = json.loads(make_golden.GOLDEN.read_text())
    now = make_golden.compute()
    capfd.readouterr()  # the failure cases' one-line reports
    missing = sorted(golden.keys() - now.keys())
    added = sorted(now.keys() - golden.keys())
    changed = sorted(k for k in golden.keys() & now.keys() if golden[k] != now[k])
    assert not (missing or added or changed), {"changed": changed[:20], "missing": missing[:5], "added": added[:5],
                                               "counts": (len(changed), len(missing), len(added))}
