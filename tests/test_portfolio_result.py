import pytest

from tarnwick import _tarnwick


@pytest.mark.parametrize("cls, doc", [
    (_tarnwick.PortfolioResult, "Result of a shared-capital portfolio backtest."),
    (_tarnwick.InstrumentSummary, "Per-instrument attribution from a portfolio backtest."),
])
def test_classes_are_engine_made_only(cls, doc):
    assert cls.__doc__ == doc
    assert cls.__module__ == "builtins"
    with pytest.raises(TypeError, match="No constructor defined"):
        cls()


def test_metrics_shortcut_documents_itself():
    assert _tarnwick.PortfolioResult.metrics.__doc__ == "Portfolio metrics, computed on the constrained run."
