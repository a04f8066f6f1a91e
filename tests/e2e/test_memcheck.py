"""Each program once through a normal run under valgrind's memcheck: no invalid read or
write, no use of uninitialised memory, and for the clients, which end, no leak."""

import os
import shutil
import tempfile
import unittest

from harness import (INVITATION, connect, exchange, run, start_cardbox, start_echo_service,
                     summary)


def memcheck(log):
    return ["valgrind", "--quiet", f"--log-file={log}", "--error-exitcode=99",
            "--leak-check=full", "--errors-for-leak-kinds=definite,indirect"]


@unittest.skipUnless(shutil.which("valgrind"), "valgrind is not installed")
class Memcheck(unittest.TestCase):
    def setUp(self):
        self.logs = tempfile.TemporaryDirectory()
        self.addCleanup(self.logs.cleanup)

    def log(self, name):
        return os.path.join(self.logs.name, name)

    def report(self, name):
        with open(self.log(name)) as log:
            return log.read()

    def test_cardbox_and_cardpost(self):
        for arguments in ([], ["--connections", "4", "--timeout", "5"]):
            with self.subTest(arguments=arguments):
                with start_cardbox(wrapper=memcheck(self.log("cardbox")), arguments=arguments) as server:
                    with connect():
                        pass  # an empty connection: the report path
                    result = run("cardpost", b"Ana\nPerez\n25\n", arguments=["--confirm"],
                                 wrapper=memcheck(self.log("cardpost")))
                    server.wait_out_ending(b" Edad:25\n")
                self.assertEqual(result, (0, summary(b"Ana\n", b"Perez\n", 25), b""))
                self.assertEqual(self.report("cardbox"), "")
                self.assertEqual(self.report("cardpost"), "")

    def test_linebounce(self):
        with start_echo_service():
            result = run("linebounce", b"hola\nSALIR\n", wrapper=memcheck(self.log("linebounce")))
        self.assertEqual(result, (0, INVITATION + exchange(5, b"hola\n", b"hola\n")
                                  + b"Escribio SALIR\n", b""))
        self.assertEqual(self.report("linebounce"), "")


if __name__ == "__main__":
    unittest.main()
