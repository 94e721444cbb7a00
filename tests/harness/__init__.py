"""What the scenario tests, the demo, the benchmarks and the stress rounds share to drive the
launcher under Wine, inside scripts/sandbox:

  harness.wine      the Wine prefix (made from the cached template of scripts/wine-env, an X
                    display of its own, the prefix's wineserver), Windows paths, Wine programs
                    and the window helper (winhelper.exe), the registry, CPU of processes
  harness.launcher  the game's installation record (Game), the launcher and its runs (Launcher,
                    Flow for a game that is not installed, SwarmLauncher on an address and in a
                    prefix of its own), the stand-in installer's settings and the flow helpers
  harness.peers     the peers of a test: the test HTTP server, the published distribution and
                    its seeders, started and stopped together (tests/servers holds the servers)

`wait_for` is the one bounded wait of all of them.
"""
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build"
LAUNCHER = BUILD / "MirelLauncher.exe"
STANDINS = BUILD / "standins"
TITLE = "MirelLauncher"  # the application's title: the executable's name
MiB = 1 << 20

sys.path.insert(0, str(ROOT / "tests" / "servers"))
from polling import wait_for  # noqa: E402,F401  (the harness's one wait)
