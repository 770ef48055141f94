"""The examples of the toolkit's guide run and print what the guide says."""
import doctest
import pathlib
import re

import numpy as np

from vordex.pure import densitykit as dk

GUIDE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "toolkit.md"


def test_guide_examples_print_what_they_show():
    # Code fences become blank lines, so that a fence does not read as expected output.
    text = re.sub(r"^```.*$", "", GUIDE.read_text(encoding="utf-8"), flags=re.M)
    test = doctest.DocTestParser().get_doctest(text, {"np": np, "dk": dk}, GUIDE.name, str(GUIDE), 0)
    assert len(test.examples) >= 40
    # not verbose, whatever the command line holds (doctest reads "-v" from sys.argv)
    runner = doctest.DocTestRunner(verbose=False, optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    report = []  # the runner's account of each failing example
    runner.run(test, out=report.append)
    result = runner.summarize(verbose=False)
    assert result.failed == 0, "".join(report)[:6000]
