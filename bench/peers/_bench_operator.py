"""The interpreter's own two-argument addition, as a reference for the call
itself: positional arguments only, no 64-bit contract (no wrap-around, any
number type accepted)."""

from operator import add as mysum  # noqa: F401
