"""The guest's initramfs: busybox, the kernel's USB serial modules, static
builds of the program and the simulator, the guest's scripts and the files
the checks use (the examples, a rules file of 100 rules, a 16 KiB firmware
file of 128-byte records), packed as a cpio archive the kernel unpacks."""
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from qvtest import firmware_file, write_file  # noqa: E402
from test_download import hundred_rules  # noqa: E402

# The USB modules in the order they load (the 8250 driver is built in).
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
# In the guest, under /qv/files.
FILES_DIR = "/qv/files"
STATION = FILES_DIR + "/station.cfg"
RULES = FILES_DIR + "/rules100.txt"
FIRMWARE = FILES_DIR + "/firmware.hex"
FIRMWARE_16K = FILES_DIR + "/fw16k.hex"
FIRMWARE_16K_RECORDS = 128  # of 128 bytes each, and the end record


def stage(root, build, kernel, source):
    """Lays out the guest's files under root."""
    if os.path.exists(root):
        shutil.rmtree(root)
    for d in ("bin", "qv/files", "mod", "dev", "proc", "sys", "tmp", "etc", "root"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    shutil.copy2("/bin/busybox", os.path.join(root, "bin", "busybox"))
    for name in MODULES:
        shutil.copy2(os.path.join(kernel, "modules", name + ".ko"), os.path.join(root, "mod", name + ".ko"))
    for program in ("quorvantis-host", "quorvantis-sim"):
        shutil.copy2(os.path.join(build, program), os.path.join(root, "qv", program))
    shutil.copy2(os.path.join(HERE, "guest_init.sh"), os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)
    shutil.copy2(os.path.join(HERE, "guest.sh"), os.path.join(root, "qv", "guest.sh"))
    files = os.path.join(root, "qv", "files")
    for name in ("station.cfg", "firmware.hex"):
        shutil.copy2(os.path.join(source, "examples", name), os.path.join(files, name))
    write_file(files, "rules100.txt", hundred_rules()[0])
    firmware_file(files, "fw16k.hex", 128, FIRMWARE_16K_RECORDS)
    # Everyone may read the checks' files (the ordinary user's runs too).
    for d, _, names in os.walk(os.path.join(root, "qv")):
        os.chmod(d, 0o755)
        for name in names:
            path = os.path.join(d, name)
            os.chmod(path, 0o755 if os.access(path, os.X_OK) else 0o644)


def pack(root, archive):
    """root as a newc cpio archive, every file owned by root."""
    names = []
    for d, dirs, files in os.walk(root):
        rel = os.path.relpath(d, root)
        names.extend(os.path.normpath(os.path.join(rel, n)) for n in sorted(dirs) + sorted(files))
    listing = "\n".join(["."] + names).encode() + b"\n"
    with open(archive, "wb") as out:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet", "-R", "0:0"], input=listing, stdout=out,
                       cwd=root, check=True, timeout=120)
