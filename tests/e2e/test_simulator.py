"""The simulator as an operator runs it by hand: what its --link does to the
path it is given, and what its help promises."""
import os
import signal
import subprocess
import unittest

from qvtest import SIM, TempDirCase


def sim_command():
    if not SIM:
        raise unittest.SkipTest("QV_SIM is not set")
    return [SIM]


class RunningSim:
    """The simulator started with some arguments, read up to its "ready" line."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(sim_command() + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self.slave = None
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\n")
            self.lines.append(line)
            if line.startswith("ready "):
                self.slave = line[len("ready "):]
                break

    def stop(self, sig=signal.SIGTERM):
        """Stops it as an operator does; its exit status and standard error."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        rest, err = self.proc.communicate(timeout=10)
        self.lines += rest.decode(errors="replace").splitlines()
        return self.proc.returncode, err.decode(errors="replace")


class LinkTest(TempDirCase):
    def test_what_is_at_the_link_path(self):
        # (what is there, what the simulator does, what is there after it stopped)
        def regular(path):
            with open(path, "w") as f:
                f.write("an operator's file\n")

        def directory(path):
            os.mkdir(path)

        def link_to_device(path):
            os.symlink("/dev/null", path)

        def dangling_link(path):
            os.symlink(os.path.join(self.tmp, "gone"), path)

        def nothing(path):
            pass

        cases = [
            ("regular file", regular, "refuse"),
            ("directory", directory, "refuse"),
            ("link to a device", link_to_device, "replace"),
            ("dangling link", dangling_link, "replace"),
            ("nothing", nothing, "create"),
        ]
        for name, make, outcome in cases:
            with self.subTest(name):
                path = os.path.join(self.tmp, name.replace(" ", "-"))
                make(path)
                before = os.readlink(path) if os.path.islink(path) else None
                sim = RunningSim("--link", path)
                if outcome == "refuse":
                    rc, err = sim.stop()
                    self.assertIsNone(sim.slave)
                    self.assertEqual(rc, 1)
                    self.assertIn("will not replace " + path + ": it is not a symbolic link", err)
                    if make is regular:
                        with open(path) as f:
                            self.assertEqual(f.read(), "an operator's file\n")
                    else:
                        self.assertTrue(os.path.isdir(path))
                    continue
                self.assertIsNotNone(sim.slave, sim.lines)
                self.assertEqual(os.readlink(path), sim.slave)
                replaced = "replaced link %s (it pointed at %s)" % (path, before)
                self.assertEqual(replaced in sim.lines, outcome == "replace", sim.lines)
                rc, err = sim.stop(signal.SIGINT)
                self.assertEqual(rc, 0, err)
                self.assertFalse(os.path.lexists(path))

    def test_a_link_pointed_elsewhere_meanwhile_stays(self):
        path = os.path.join(self.tmp, "com1")
        sim = RunningSim("--link", path)
        self.assertIsNotNone(sim.slave)
        # The operator points the port at an adapter while the simulator runs.
        os.unlink(path)
        os.symlink("/dev/null", path)
        rc, _ = sim.stop()
        self.assertEqual(rc, 0)
        self.assertEqual(os.readlink(path), "/dev/null")


if __name__ == "__main__":
    unittest.main()
