"""The desktop tests' session harness (tests/desktop/desktop.py), on which
the bench runs its desktop. The bench takes these five names of it and
nothing else: the tests are reworked apart from the bench, and whatever
else the harness holds may change under it."""

import os
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
# The bench's own folder stays ahead of the tests', so that a file the tests
# add there never shadows one of the bench's.
sys.path.insert(0, os.path.join(os.path.dirname(BENCH), "tests", "desktop"))
sys.path.insert(0, BENCH)

from desktop import OPEN, QUIT, Session, accessibility, wait_for  # noqa: E402

__all__ = ["OPEN", "QUIT", "Session", "accessibility", "wait_for"]
