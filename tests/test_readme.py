"""The README's examples run as written and print what the README shows."""
import doctest
import pathlib

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def python_blocks(text):
    """The README with everything outside its ```python blocks blanked, line for line, so
    that doctest reports README line numbers and a closing fence never reads as output."""
    kept, inside = [], False
    for line in text.splitlines():
        fence = line.strip()
        if fence.startswith("```"):
            inside = fence == "```python"
            kept.append("")
        else:
            kept.append(line if inside else "")
    return "\n".join(kept) + "\n"


def test_readme_examples_print_what_the_readme_shows():
    test = doctest.DocTestParser().get_doctest(python_blocks(README.read_text()), {"__name__": "readme"},
                                               "README.md", str(README), 0)
    assert len(test.examples) > 100  # the blocks were found and parsed
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
