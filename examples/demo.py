"""A short tour of _zorvalind: what it offers and every kind of error a caller
can meet."""

import inspect

import _zorvalind
from _zorvalind import mysum

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


def show(label, call):
    try:
        result = call()
    except BaseException as exc:  # PanicException derives from BaseException
        print(f"  {label:<34} -> {type(exc).__name__}: {exc}")
    else:
        print(f"  {label:<34} -> {result!r}")


print(f"module {_zorvalind.__name__}: __all__ = {_zorvalind.__all__}, __doc__ = {_zorvalind.__doc__!r}")
print(f"signature: mysum{inspect.signature(mysum)}")
print()
print("calls:")
show("mysum(2, 3)", lambda: mysum(2, 3))
show("mysum(2, b=3)", lambda: mysum(2, b=3))
show("mysum(b=3, a=2)", lambda: mysum(b=3, a=2))
show("mysum(True, True)", lambda: mysum(True, True))
print()
print("wrap-around at both ends:")
show("mysum(2**63 - 1, 1)", lambda: mysum(INT64_MAX, 1))
show("mysum(-2**63, -1)", lambda: mysum(INT64_MIN, -1))
show("mysum(2**63 - 1, 2**63 - 1)", lambda: mysum(INT64_MAX, INT64_MAX))
print()
print("errors:")
show("mysum(1)", lambda: mysum(1))
show("mysum(1, 2, 3)", lambda: mysum(1, 2, 3))
show("mysum(1, a=2)", lambda: mysum(1, a=2))
show("mysum(1, c=2)", lambda: mysum(1, c=2))
show("mysum(1.5, 2)", lambda: mysum(1.5, 2))
show("mysum(1, '2')", lambda: mysum(1, "2"))
show("mysum(2**63, 0)", lambda: mysum(2**63, 0))
