"""The simulated device in the end-to-end tests.

    with Sim(self.tmp, "--fault", "no-confirm") as sim:
        run = run_host(b"connect 1\\nexit\\n", env=sim.env)
        self.assertIn("ctrl-c", sim.events())

Sim links COM<port> in a private configuration directory (XDG_CONFIG_HOME
under the given directory), waits until the simulator is ready, and stops it
on leaving; under Wine it also points the run's COM<port> at it. sim.env is
the environment for run_host and start_host. sim.events() gives the
simulator's report lines so far (opened, power-on, ctrl-c, host N, cr, closed,
unplugged, mode NAME, and whatever the modes report). sim.slave is the
pseudo-terminal the host opens. See qvproc.Sim for the rest.
"""
import os

import qvproc
from qvtest import ON_WINE, SIM


class Sim(qvproc.Sim):
    def __init__(self, directory, *args, port=1):
        if not SIM:
            raise AssertionError("QV_SIM is not set: run the tests through ctest or scripts/test-windows")
        # Under Wine COMn is a fixed link of the test run: it is pointed at this device.
        wine_ports = os.environ.get("QV_WINE_PORTS", "")
        wine_link = os.path.join(wine_ports, "com%d" % port) if ON_WINE and wine_ports else None
        super().__init__(SIM, *args, config=os.path.join(directory, "config"), port=port, wine_link=wine_link)


def read_download_report(path):
    """What the simulated receiver wrote to its dl_report file: the bytes of the
    configuration ("conf") and of the rules ("rules") it received, and its last
    "download ..." state line ("state"). Empty when there is no report."""
    received = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition(": ")
                if key in ("conf", "rules"):
                    received[key] = bytes.fromhex(value)
                if line.startswith("download "):
                    received["state"] = line.strip()
    return received
