# SPDX-License-Identifier: Apache-2.0
"""The README's Python example runs as written."""
import os
import re

from conftest import REPO


def test_readme_example_runs(tmp_path, monkeypatch, capsys):
    text = open(os.path.join(REPO, "README.md"), encoding="utf-8").read()
    section = text.split("## Python", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert len(code.strip().splitlines()) <= 10
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {})
    assert "(5, 10)" in capsys.readouterr().out
    assert (tmp_path / "shop.db" / "items.rkcol").exists()
