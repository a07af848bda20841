"""Plain-Python peer: the same contract written in Python."""

from operator import index as _index

_LOW = -(2**63)
_HIGH = 2**63
_MASK = 2**64 - 1


def mysum(a, b):
    a = _index(a)
    b = _index(b)
    if not _LOW <= a < _HIGH or not _LOW <= b < _HIGH:
        raise OverflowError("Python int too large to convert to C long long")
    return ((a + b + _HIGH) & _MASK) - _HIGH
