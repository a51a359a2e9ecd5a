"""Pen events of the pressure port, as typed values.

Two kinds of data arrive on the pressure port:
  - '|'-framed words, broadcast to every client of the port:
      PenData.PROXIMITY_IN, PenData.PROXIMITY_OUT,
      PenData.USE_TIP, PenData.USE_ERASER, PenData.USE_UNKNOWN_CURSOR
  - space-terminated tokens, only to the client that sent startTablet:
      a pressure value as four or more digits, after a minus sign when the
      driver reports a negative one ("0300 ", "-0300 "),
      a position "m<x>_<y> " (pen or drag move), a button "d<x>_<y> " (left
      button down) or "u<x>_<y> " (up), in screen pixels.
"""

import re
from typing import NamedTuple, Optional, Union

PEN_TOKEN = re.compile(r"^(-?\d{4,}|[dum]-?\d+_-?\d+)$")
_PRESSURE = re.compile(r"^-?\d{4,}$")
_POSITION = re.compile(r"^([dum])(-?\d+)_(-?\d+)$")

PROXIMITY_IN = "PenData.PROXIMITY_IN"
PROXIMITY_OUT = "PenData.PROXIMITY_OUT"
CURSORS = {"PenData.USE_TIP": "tip", "PenData.USE_ERASER": "eraser", "PenData.USE_UNKNOWN_CURSOR": "unknown"}


class Proximity(NamedTuple):
    """The pen came near the tablet (near=True) or left it."""
    near: bool


class Cursor(NamedTuple):
    """The end of the pen in use: "tip", "eraser" or "unknown" (another pointer)."""
    kind: str


class Pressure(NamedTuple):
    """The pen's pressure changed (raw driver units; 0 = not touching)."""
    value: int


class Position(NamedTuple):
    """The pen (or a drag) moved to the screen position x, y."""
    x: int
    y: int


class Button(NamedTuple):
    """The left button went down (down=True) or up at the screen position x, y."""
    down: bool
    x: int
    y: int


PenEvent = Union[Proximity, Cursor, Pressure, Position, Button]


def is_pen_word(frame: str) -> bool:
    return frame.startswith("PenData.")


def parse_pen_word(frame: str) -> Optional[PenEvent]:
    """The event a '|'-framed PenData word stands for, or None for another frame."""
    if frame == PROXIMITY_IN:
        return Proximity(True)
    if frame == PROXIMITY_OUT:
        return Proximity(False)
    if frame in CURSORS:
        return Cursor(CURSORS[frame])
    return None


def parse_pen_token(token: str) -> Optional[PenEvent]:
    """The event a space-terminated token stands for, or None when it is not a pen token."""
    if _PRESSURE.match(token):
        return Pressure(int(token))
    match = _POSITION.match(token)
    if not match:
        return None
    x, y = int(match.group(2)), int(match.group(3))
    if match.group(1) == "m":
        return Position(x, y)
    return Button(match.group(1) == "d", x, y)
