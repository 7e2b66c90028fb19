"""What the guest is made of. The kernel: Debian's, the image package that
linux-image-amd64 currently depends on, fetched with apt-get download and
unpacked into the build tree (vmlinuz and the USB serial modules; never
installed, and kept there for the next run). The initramfs: busybox, those
modules, static builds of the program and the simulator, the guest's scripts
and the files the checks use (the examples, a rules file of 100 rules, a
16 KiB firmware file of 128-byte records), packed as a cpio archive."""
import glob
import os
import shlex
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from qvtest import firmware_file, short_firmware, write_file  # noqa: E402
from test_download import hundred_rules  # noqa: E402

# The USB modules in the order they load (the 8250 driver is built in), by
# their place under the kernel's lib/modules/VERSION/kernel/drivers/usb.
MODULES = [("usb-common", "common"), ("usbcore", "core"), ("xhci-hcd", "host"), ("xhci-pci", "host"),
           ("usbserial", "serial"), ("ftdi_sio", "serial")]
META_PACKAGE = "linux-image-amd64"
# Limits of the package steps, in seconds: a hung mirror fails the leg.
APT_LIMIT = 300
# In the guest, under /qv/files.
FILES_DIR = "/qv/files"
STATION = FILES_DIR + "/station.cfg"
RULES = FILES_DIR + "/rules100.txt"
FIRMWARE = FILES_DIR + "/firmware.hex"
FIRMWARE_16K = FILES_DIR + "/fw16k.hex"
FIRMWARE_SHORT = FILES_DIR + "/short.hex"  # the example's first 16 records and its end
FIRMWARE_16K_RECORDS = 128  # of 128 bytes each, and the end record


def _low_priority():
    """The package steps' processes give way to everything else (make test
    runs the leg beside its other legs)."""
    os.nice(19)


def _kernel_package():
    """The kernel image package linux-image-amd64 depends on, or None
    (no package index, for one)."""
    try:
        out = subprocess.run(["apt-cache", "depends", META_PACKAGE], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=APT_LIMIT).stdout.decode()
    except (OSError, subprocess.TimeoutExpired):
        return None
    for line in out.splitlines():
        words = line.split()
        if len(words) == 2 and words[0] == "Depends:" and words[1].startswith("linux-image-"):
            return words[1]
    return None


def fetch_kernel(kernel):
    """Makes sure the unpacked kernel is in the directory kernel (vmlinuz,
    modules/NAME.ko, and the package's name in package); fetches it only when
    it is not there yet. Gives the package's name; RuntimeError on failure."""
    done = os.path.join(kernel, "package")
    if os.path.exists(done):
        with open(done) as f:
            return f.read().strip()
    package = _kernel_package()
    if package is None:
        # A machine whose package lists are empty (a fresh container, say).
        sudo = [] if os.geteuid() == 0 else ["sudo", "-n"]
        update = subprocess.run(sudo + ["apt-get", "update", "-qq"], timeout=APT_LIMIT,
                                env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        if update.returncode != 0:
            raise RuntimeError("apt-get update failed (status %d)" % update.returncode)
        package = _kernel_package()
    if package is None:
        raise RuntimeError("%s depends on no kernel image package" % META_PACKAGE)
    fresh = kernel + ".new"
    shutil.rmtree(fresh, ignore_errors=True)
    os.makedirs(os.path.join(fresh, "modules"))
    # As root apt hands the download to its own user, who may not write here.
    sandbox = ["-o", "APT::Sandbox::User=root"] if os.geteuid() == 0 else []
    got = subprocess.run(["apt-get", "download", "-qq"] + sandbox + [package], cwd=fresh, timeout=APT_LIMIT,
                         preexec_fn=_low_priority)
    debs = glob.glob(os.path.join(fresh, "*.deb"))
    if got.returncode != 0 or len(debs) != 1:
        raise RuntimeError("apt-get download %s failed (status %d)" % (package, got.returncode))
    # Only the kernel and the modules come out of the package.
    unpacked = os.path.join(fresh, "unpacked")
    os.mkdir(unpacked)
    members = ["./boot/vmlinuz-*"] + ["./lib/modules/*/kernel/drivers/usb/%s/%s.ko" % (place, name)
                                      for name, place in MODULES]
    unpack = subprocess.run("dpkg-deb --fsys-tarfile %s | tar -x -C %s --wildcards %s"
                            % (shlex.quote(debs[0]), shlex.quote(unpacked), " ".join(shlex.quote(m) for m in members)),
                            shell=True, timeout=APT_LIMIT, preexec_fn=_low_priority)
    os.unlink(debs[0])
    kernels = glob.glob(os.path.join(unpacked, "boot", "vmlinuz-*"))
    if unpack.returncode != 0 or len(kernels) != 1:
        raise RuntimeError("%s: its kernel and modules could not be unpacked" % package)
    os.rename(kernels[0], os.path.join(fresh, "vmlinuz"))
    for name, place in MODULES:
        found = glob.glob(os.path.join(unpacked, "lib", "modules", "*", "kernel", "drivers", "usb", place,
                                       name + ".ko"))
        if len(found) != 1:
            raise RuntimeError("%s has no %s.ko" % (package, name))
        os.rename(found[0], os.path.join(fresh, "modules", name + ".ko"))
    shutil.rmtree(unpacked)
    with open(os.path.join(fresh, "package"), "w") as f:
        f.write(package + "\n")
    shutil.rmtree(kernel, ignore_errors=True)
    os.rename(fresh, kernel)
    return package


def stage(root, build, kernel, source):
    """Lays out the guest's files under root."""
    if os.path.exists(root):
        shutil.rmtree(root)
    for d in ("bin", "qv/files", "mod", "dev", "proc", "sys", "tmp", "etc", "root"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    shutil.copy2("/bin/busybox", os.path.join(root, "bin", "busybox"))
    for name, _ in MODULES:
        shutil.copy2(os.path.join(kernel, "modules", name + ".ko"), os.path.join(root, "mod", name + ".ko"))
    with open(os.path.join(root, "mod", "order"), "w") as f:
        f.write("".join(name + "\n" for name, _ in MODULES))
    # The static copies, without their debugging information: half the size.
    for program in ("quorvantis-host", "quorvantis-sim"):
        subprocess.run(["strip", "--strip-debug", "-o", os.path.join(root, "qv", program),
                        os.path.join(build, program + "-static")], check=True, timeout=60)
    shutil.copy2(os.path.join(HERE, "guest_init.sh"), os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)
    shutil.copy2(os.path.join(HERE, "guest.sh"), os.path.join(root, "qv", "guest.sh"))
    files = os.path.join(root, "qv", "files")
    for name in ("station.cfg", "firmware.hex"):
        shutil.copy2(os.path.join(source, "examples", name), os.path.join(files, name))
    write_file(files, "rules100.txt", hundred_rules()[0])
    shutil.copy2(short_firmware(), os.path.join(files, "short.hex"))
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
