"""Trading backtest and portfolio analytics engine."""

from . import _tarnwick
from ._tarnwick import *  # noqa: F401,F403

__all__ = list(_tarnwick.__all__)
