"""Reference-leak checking in the manner of the interpreter's own -R runs.

A scenario is run in rounds of `calls` calls each. The first `warmup` rounds
fill caches (interned names, the PanicException type, linecache, free lists);
then, over the `measured` rounds, the growth of sys.gettotalrefcount() and of
sys.getallocatedblocks() is recorded round by round. A leak is reported when
every measured round grew, which tolerates one-off cache fills but not a cost
that recurs with each call.

ZORVALIND_LEAK_ROUNDS="<warmup>:<measured>" overrides the default 3:6.
"""

import dataclasses
import gc
import os
import sys

HAS_REFCOUNT = hasattr(sys, "gettotalrefcount")


def rounds_from_environment():
    text = os.environ.get("ZORVALIND_LEAK_ROUNDS", "3:6")
    warmup, _, measured = text.partition(":")
    return int(warmup), int(measured)


@dataclasses.dataclass
class LeakReport:
    name: str
    calls: int
    warmup: int
    ref_deltas: list
    block_deltas: list

    @property
    def leaks_references(self):
        return all(delta >= 1 for delta in self.ref_deltas)

    @property
    def leaks_blocks(self):
        return all(delta >= 1 for delta in self.block_deltas)

    @property
    def leaked(self):
        return self.leaks_references or self.leaks_blocks

    def summary(self):
        return (
            f"leak-check {self.name}: {self.warmup} warm-up + {len(self.ref_deltas)} measured rounds "
            f"of {self.calls} calls; refs deltas {self.ref_deltas}; blocks deltas {self.block_deltas}"
        )


def _settle():
    # Caches that the interpreter fills on demand would otherwise show up as
    # growth in whichever round first touched them.
    clear = getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache")
    clear()
    gc.collect()


def check(name, scenario, *, calls=100, rounds=None):
    """Runs `scenario()` in rounds and returns a LeakReport."""
    if not HAS_REFCOUNT:
        raise RuntimeError("reference leak checks need a debug interpreter")
    warmup, measured = rounds or rounds_from_environment()
    if warmup < 1 or measured < 1:
        raise ValueError("at least one warm-up and one measured round are needed")
    total = warmup + measured
    # Preallocated so that the bookkeeping itself does not grow between rounds.
    ref_deltas = [0] * total
    block_deltas = [0] * total
    refs_before = blocks_before = 0
    _settle()
    for index in range(total):
        for _ in range(calls):
            scenario()
        _settle()
        blocks_after = sys.getallocatedblocks()
        refs_after = sys.gettotalrefcount()
        ref_deltas[index] = refs_after - refs_before
        block_deltas[index] = blocks_after - blocks_before
        refs_before = refs_after
        blocks_before = blocks_after
    return LeakReport(name, calls, warmup, ref_deltas[warmup:], block_deltas[warmup:])
