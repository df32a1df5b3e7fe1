"""The watch of remote_watch_test against the listener's real idle bound of 60 seconds, without the
test setting that shortens it: B watches A's share for 75 seconds while nothing flows, and A still
serves the same viewer at the end."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netns_lab import main, run_inside  # noqa: E402
from remote_watch_test import watch  # noqa: E402

WATCH_S = 75


def inside():
    return watch(None, WATCH_S, False)


class RemoteWatchRealIdle(unittest.TestCase):
    def test_a_quiet_watch_outlasts_the_real_idle_bound(self):
        run_inside(self, __file__, timeout=270)


if __name__ == "__main__":
    main(inside)
