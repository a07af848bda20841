"""Argument objects shared by the tests, and the wrap-around sum they check
mysum against."""

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def wrap(value):
    """`value` reduced into the signed 64-bit range, as two's complement does."""
    return (value - INT64_MIN) % 2**64 + INT64_MIN


class IndexReturns:
    """Converts through __index__; counts how often it was asked."""

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __index__(self):
        self.calls += 1
        return self.value


class IndexRaises:
    def __init__(self, exception):
        self.exception = exception

    def __index__(self):
        raise self.exception


class StrRaises:
    def __str__(self):
        raise RuntimeError("no str")

    def __repr__(self):
        raise RuntimeError("no repr")


class StrReturnsNonStr:
    def __str__(self):
        return 42
