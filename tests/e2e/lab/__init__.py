"""The one layer through which the Wine tests, the guide's examples, the demo
and the benchmark arrange, run and observe a Wine machine: ``facts`` (what the
tool's sources and tests/families.json say) and ``wine`` (targets, machines,
the probe's snapshots)."""

from . import facts  # noqa: F401
from .wine import Machine, Skip, SKIPPED, Unavailable, decide_arch, target, wait_for  # noqa: F401
