from typing import SupportsIndex

__all__ = ["mysum"]

def mysum(a: SupportsIndex, b: SupportsIndex) -> int: ...
