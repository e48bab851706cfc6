"""Public enumerations of the package."""

import enum

from kestrix.KRXUtils import RetCode

__all__ = ["FBSMode", "RFMode", "RetCode"]


class FBSMode(enum.IntEnum):
    """Fast beam steering mode; the integer value is what the device receives."""

    PHASE_ONLY = 1
    GAIN_ONLY = 2
    FULL_GAIN_PHASE = 3


class RFMode(enum.IntEnum):
    """RF path of an operation."""

    TX = 0
    RX = 1
