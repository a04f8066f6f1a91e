"""Fresh Debian 12 roots for the tests that meet the real system: made by mmdebstrap from
this machine's own Debian archive, kept as tarballs between runs, unpacked anew for each
test; booted under systemd-nspawn, or used to run a command in."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import time

SUITE = "bookworm"
CACHE = os.environ.get("CARDBOX_ROOT_CACHE", "/var/cache/cardbox-tests")
# Every wait ends: making a root, booting it, a command in it.
MAKE_TIMEOUT = 900
BOOT_TIMEOUT = 60
COMMAND_TIMEOUT = 300


def missing_tools():
    """Why roots cannot be made or booted here, or None."""
    if os.geteuid() != 0:
        return "needs root, to make a root and boot it"
    for tool in ("mmdebstrap", "systemd-nspawn", "nsenter"):
        if not shutil.which(tool):
            return f"{tool} is not installed (tools/install-packages test installs it)"
    return None


def sources():
    """The archive this machine installs from, for the root to install from too."""
    for path in ("/etc/apt/sources.list.d/debian.sources", "/etc/apt/sources.list"):
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return path
    return "http://deb.debian.org/debian"


def root_tarball(packages):
    """Returns a tarball of a minimal Debian 12 root with the packages, made once."""
    key = hashlib.sha256(" ".join([SUITE, *sorted(packages)]).encode()).hexdigest()[:16]
    tarball = os.path.join(CACHE, f"debian-{SUITE}-{key}.tar")
    if os.path.exists(tarball):
        return tarball
    os.makedirs(CACHE, exist_ok=True)
    partial = tarball[: -len(".tar")] + ".partial.tar"  # mmdebstrap makes a tarball of a .tar
    command = ["mmdebstrap", "--variant=minbase", "--quiet"]
    if packages:
        command.append("--include=" + ",".join(packages))
    subprocess.run([*command, SUITE, partial, sources()], check=True, timeout=MAKE_TIMEOUT,
                   stdout=subprocess.DEVNULL)
    os.rename(partial, tarball)
    return tarball


def unpack(tarball, into):
    os.makedirs(into)
    subprocess.run(["tar", "-C", into, "-xf", tarball], check=True, timeout=MAKE_TIMEOUT)


class CannotBoot(Exception):
    """This machine cannot boot a container at all (a chroot, a container without the
    cgroup tree): nothing of the project's is in the root yet when this is found."""


def container_failure(root):
    """Why this machine cannot run a container, found by running one on the root; or None."""
    result = subprocess.run(["systemd-nspawn", "--quiet", "-D", root, "--register=no", "--keep-unit", "--as-pid2",
                             "true"], capture_output=True, text=True, timeout=BOOT_TIMEOUT)
    if result.returncode == 0:
        return None
    said = " / ".join(result.stderr.strip().splitlines()) or f"status {result.returncode}"
    return f"this machine cannot run a container: systemd-nspawn: {said}"


class Booted:
    """A root booted by systemd 252 as its PID 1 under systemd-nspawn, in a network
    namespace of its own (--private-network), registered nowhere, so that it boots on
    a machine with no systemd of its own. Everything it runs ends with it."""

    def __init__(self, root, log):
        self.log = open(log, "wb")
        self.nspawn = subprocess.Popen(
            ["systemd-nspawn", "--quiet", "-D", root, "--private-network", "--register=no",
             "--keep-unit", "--boot"], stdin=subprocess.DEVNULL, stdout=self.log,
            stderr=subprocess.STDOUT, start_new_session=True)
        try:
            self.pid = self._init_pid()
            self._wait_running()
        except CannotBoot as error:
            self.stop()
            with open(log, "rb") as said:
                last = said.read().decode(errors="replace").strip().splitlines()[-3:]
            raise CannotBoot(f"this machine cannot boot a container: {error}: {' / '.join(last)}") from None
        except BaseException:
            self.stop()
            raise

    def _init_pid(self):
        deadline = time.monotonic() + BOOT_TIMEOUT
        while time.monotonic() < deadline:
            if self.nspawn.poll() is not None:
                raise CannotBoot("systemd-nspawn ended before the root booted")
            with open(f"/proc/{self.nspawn.pid}/task/{self.nspawn.pid}/children") as listed:
                children = listed.read().split()
            if children:
                return int(children[0])
            time.sleep(0.05)
        raise CannotBoot("systemd-nspawn started no systemd")

    def _wait_running(self):
        deadline = time.monotonic() + BOOT_TIMEOUT
        while time.monotonic() < deadline:
            state = self.run("systemctl", "is-system-running", check=False).stdout.strip()
            if state in ("running", "degraded"):
                return
            time.sleep(0.2)
        # A manager that never answered did not boot; one that answers but is still
        # starting is slow, or broken, and that is a failure.
        if state in ("", "offline"):
            raise CannotBoot(f"the root did not boot: {state or 'no answer'}")
        raise RuntimeError(f"the root did not boot: {state}")

    def run(self, *argv, check=True, timeout=COMMAND_TIMEOUT, input=None):
        """Runs a command of the root's, in all its namespaces."""
        result = subprocess.run(["nsenter", "-t", str(self.pid), "-m", "-u", "-i", "-n", "-p", "--", *argv],
                                capture_output=True, text=True, timeout=timeout, input=input)
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(argv)} failed ({result.returncode}): {result.stdout}{result.stderr}")
        return result

    def in_network(self, argv):
        """A command line that runs one of this machine's programs in the root's network."""
        return ["nsenter", "-t", str(self.pid), "-n", "--", *argv]

    def stop(self):
        try:
            os.killpg(self.nspawn.pid, 9)
        except ProcessLookupError:
            pass
        self.nspawn.wait(timeout=BOOT_TIMEOUT)
        self.log.close()


def scratch_folder():
    """A folder on a disk (not a memory file system), for a root to be unpacked in."""
    base = os.path.join(CACHE, "scratch")
    os.makedirs(base, exist_ok=True)
    return tempfile.TemporaryDirectory(dir=base)
