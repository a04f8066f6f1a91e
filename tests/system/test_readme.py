"""The README's two commands, exactly as written, in fresh minimal Debian 12 roots: the
first as root (no sudo there) and as a user with sudo, each until the server says it
waits for clients; the second, which runs every test, as root. The roots share this
machine's network, to reach the Debian archive."""

import os
import re
import shutil
import socket
import subprocess
import time
import unittest

import debian_root

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
READY_LINE = "Servicio iniciado... esperando cliente"
# Set in the roots, so that the tests run there do not start roots of their own.
INSIDE = "CARDBOX_INSIDE_README_ROOT"


def readme_commands():
    """The first two shell blocks of the README, as they stand."""
    with open(os.path.join(SOURCE, "README.md")) as readme:
        blocks = re.findall(r"```sh\n(.*?)\n```", readme.read(), re.S)
    return blocks[0], blocks[1]


def copy_checkout(into):
    """The project's files as a fresh checkout holds them: what git tracks, no build
    tree (all but the build tree where the source is no git checkout)."""
    listed = subprocess.run(["git", "-C", SOURCE, "ls-files", "-z"], capture_output=True)
    if listed.returncode != 0:
        shutil.copytree(SOURCE, into, ignore=shutil.ignore_patterns("build"))
        return
    os.makedirs(into)
    packed = subprocess.run(["tar", "-C", SOURCE, "--null", "-T", "-", "-cf", "-"], input=listed.stdout,
                            capture_output=True, check=True).stdout
    subprocess.run(["tar", "-C", into, "-xf", "-"], input=packed, check=True)


def in_root(root, user, command):
    """The command line that runs a shell command in the root, as the user, from the
    checkout, with every capability a root user of a real machine has."""
    # As on a machine of its own, the system's settings may be changed, in the test's
    # own network namespaces.
    return ["env", "SYSTEMD_NSPAWN_API_VFS_WRITABLE=yes", "systemd-nspawn", "--quiet", "-D", root, "--register=no", "--keep-unit", "--as-pid2",
            "--capability=all", f"--setenv={INSIDE}=1", f"--user={user}",
            f"--chdir={'/root' if user == 'root' else '/home/' + user}/cardbox", "bash", "-c", command]


@unittest.skipIf(os.environ.get(INSIDE), "inside a root of this very test")
@unittest.skipIf(debian_root.missing_tools(), debian_root.missing_tools())
class ReadmeCommands(unittest.TestCase):
    def prepared_root(self, scratch, packages, user):
        root = os.path.join(scratch, "root")
        debian_root.unpack(debian_root.root_tarball(packages), root)
        home = "/root" if user == "root" else "/home/" + user
        if user != "root":
            subprocess.run(["chroot", root, "useradd", "--create-home", "--shell", "/bin/bash", user], check=True)
            with open(os.path.join(root, "etc/sudoers.d", user), "w") as sudoers:
                sudoers.write(f"{user} ALL=(ALL) NOPASSWD: ALL\n")
        if why := debian_root.container_failure(root):
            self.skipTest(why)
        copy_checkout(root + home + "/cardbox")
        if user != "root":
            subprocess.run(["chroot", root, "chown", "-R", user, home + "/cardbox"], check=True)
        return root

    def test_the_first_command_builds_and_starts_the_server(self):
        first, _ = readme_commands()
        # The roots share this machine's network, where the server listens.
        probe = socket.socket(socket.AF_INET6)
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("::", 8000))
        except OSError as error:
            self.fail(f"port 8000 is taken on this machine ({error.strerror}): the server cannot start")
        finally:
            probe.close()
        for user, packages in (("root", []), ("learner", ["sudo"])):
            with self.subTest(user=user), debian_root.scratch_folder() as scratch:
                root = self.prepared_root(scratch, packages, user)
                started = time.monotonic()
                log = os.path.join(scratch, "log")
                with open(log, "w") as output:
                    server = subprocess.Popen(in_root(root, user, first), stdout=output, stderr=subprocess.STDOUT,
                                              start_new_session=True)

                def printed():
                    with open(log) as output:
                        return output.read()

                try:
                    while READY_LINE not in printed():
                        self.assertIsNone(server.poll(), printed()[-3000:])
                        self.assertLess(time.monotonic() - started, debian_root.MAKE_TIMEOUT, "no start line")
                        time.sleep(1)
                finally:
                    if server.poll() is None:
                        os.killpg(server.pid, 9)
                    server.wait(debian_root.COMMAND_TIMEOUT)
                print(f"\nreadme: the first command, as {user}, served after {time.monotonic() - started:.0f} s")

    def test_the_second_command_runs_every_test(self):
        _, second = readme_commands()
        with debian_root.scratch_folder() as scratch:
            root = self.prepared_root(scratch, [], "root")
            started = time.monotonic()
            result = subprocess.run(in_root(root, "root", second), capture_output=True, text=True,
                                    timeout=3 * debian_root.MAKE_TIMEOUT)
            self.assertEqual(result.returncode, 0, (result.stdout + result.stderr)[-5000:])
            self.assertIn("100% tests passed", result.stdout)
            print(f"\nreadme: the second command, as root, passed in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    unittest.main()
