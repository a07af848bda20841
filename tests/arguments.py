"""Argument objects shared by the tests, the wrap-around sum they check
mysum against, and the interpreter's own conversion errors."""

import operator

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def wrap(value):
    """`value` reduced into the signed 64-bit range, as two's complement does."""
    return (value - INT64_MIN) % 2**64 + INT64_MIN


def conversion_error(value):
    """The exception the running interpreter raises when it converts `value`
    to an integer (under the warning filters in force). Its wording changes
    between versions, so expected texts are taken from here, never written out."""
    try:
        operator.index(value)
    except Exception as error:
        return error
    raise AssertionError(f"{value!r} converts to an integer")


def conversion_message(value):
    return str(conversion_error(value))


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
