"""Command line, usage text, exit statuses and the reading of the list file."""

import os
import stat
import unittest

from harness import Case, run, warning

USAGE = (b"usage: wavelot  -c podcastlist.cfg -o /some/directory -d <number> [-hilv]\n"
         b"\n"
         b" Options :\n"
         b" -c podcastlist.cfg : A plain filename containing the list of podcasts\n"
         b" -o /some/directory : The target directory where the files will be saved\n"
         b" -l : Set the log to be written in syslog, otherwise log are written to stderr\n"
         b" -i : Add an additional  .info file with information about the podcast\n"
         b" -d <number> : Set the maximum number of days a podcast can have to be download\n"
         b" -v : Verbose mode for debug \n"
         b" --version : Print the version number \n")
VERSION = b"wavelot 0.4.0, wrote by the wavelot developers\n"
NOENT = "No such file or directory"


class CommandLine(Case):
    def setUp(self):
        super().setUp()
        self.cfg = self.list_file()
        self.missing = os.path.join(self.dir, "missing")

    def test_usage_cases(self):
        cases = [
            ("no arguments", [], b""),
            ("-h", ["-h"], b""),
            ("-hilv never reaches -i -l -v", ["-hilv"], b""),
            ("no -o", ["-c", self.cfg], b""),
            ("no -c", ["-o", self.out], b""),
            ("stray word only", ["word"], b""),
            ("unknown letter", ["-x", "-c", self.cfg, "-o", self.out],
             b"invalid option -- 'x'"),
            ("missing argument", ["-c", self.cfg, "-o"], b"option requires an argument -- 'o'"),
            ("unknown long option", ["--nope"], b"unrecognized option '--nope'"),
            ("argument to --version", ["--version=1"], b"doesn't allow an argument"),
        ]
        for what, args, diagnostic in cases:
            with self.subTest(what):
                r = run(args)
                self.assertEqual(r.stdout, USAGE)
                self.assertEqual(r.returncode, 1)
                if diagnostic:
                    self.assertIn(diagnostic, r.stderr)
                    self.assertEqual(r.stderr.count(b"\n"), 1)
                else:
                    self.assertEqual(r.stderr, b"")

    def test_version_and_its_abbreviation(self):
        for args in (["--version"], ["--vers"], ["--version", "-c", self.missing],
                     ["-c", self.cfg, "--version"]):
            with self.subTest(args=args):
                r = run(args)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, VERSION, b""))

    def test_access_failures_in_order(self):
        ro = os.path.join(self.dir, "ro")
        os.mkdir(ro, 0o555)
        cases = [
            ("-c missing", ["-c", self.missing, "-o", self.out], self.missing, NOENT),
            ("-o missing", ["-c", self.cfg, "-o", self.missing], self.missing, NOENT),
            ("-c missing before --version", ["-c", self.missing, "--version"], self.missing,
             NOENT),
            ("earlier -c fails though a later one passes",
             ["-c", self.missing, "-c", self.cfg, "-o", self.out], self.missing, NOENT),
            ("-c missing before -h", ["-c", self.missing, "-h"], self.missing, NOENT),
            ("-l after the failing -c", ["-c", self.missing, "-l", "-o", self.out],
             self.missing, NOENT),
        ]
        if os.geteuid() != 0:  # root may write anywhere
            cases.append(("-o not writable", ["-c", self.cfg, "-o", ro], ro,
                          "Permission denied"))
        for what, args, path, errtext in cases:
            with self.subTest(what):
                r = run(args)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, b"")
                self.assertEqual(r.stderr.decode(), warning(path, errtext))

    def test_other_program_name_in_reports(self):
        link = os.path.join(self.dir, "podfetch")
        os.symlink(os.path.abspath(os.environ["WAVELOT"]), link)
        r = run(["-c", self.missing, "-o", self.out], program=link)
        self.assertEqual(r.stderr.decode(), "podfetch: %s: %s\n" % (self.missing, NOENT))
        # The usage line keeps the fixed name.
        self.assertEqual(run([], program=link).stdout, USAGE)

    def test_complete_runs_exit_zero(self):
        for what, args in [
            ("empty list", ["-c", self.cfg, "-o", self.out]),
            ("operands ignored", ["stray", "-c", self.cfg, "more", "-o", self.out, "-d", "x"]),
            ("options twice", ["-v", "-v", "-i", "-i", "-c", self.cfg, "-o", self.out]),
            ("list file that passes access but cannot be read",
             ["-c", "/proc/self/mem", "-o", self.out]),
        ]:
            with self.subTest(what):
                r = run(args)
                self.assertEqual((r.returncode, r.stdout), (0, b""))
                self.assertEqual(r.stderr, b"")
                self.assertEqual(self.files(), [])


class ListPieces(Case):
    """Each fgets piece of the list file reaches the scanner: seen through
    the verbose 'Parse feed' line that the scanner writes first."""

    def parsed(self, content):
        cfg = self.write("list.cfg", content)
        r = run(["-v", "-c", cfg, "-o", self.out])
        self.assertEqual(r.returncode, 0)
        return [line[len(b"Debug : Parse feed "):] for line in r.stderr.split(b"\n")
                if line.startswith(b"Debug : Parse feed ")]

    def test_pieces(self):
        cases = [
            ("1030 characters: 1023 then 7", b"a" * 1030 + b"\n", [b"a" * 1023, b"a" * 7]),
            ("1023 characters: all, then the line end", b"b" * 1023 + b"\n", [b"b" * 1023, b""]),
            ("1022 characters arrive whole", b"c" * 1022 + b"\n", [b"c" * 1022]),
            ("empty lines and CR LF", b"\n\r\nx\r\n", [b"", b"", b"x"]),
            ("CR in the middle cuts there", b"left\rright\n", [b"left"]),
            ("blanks are kept, last line without line end", b" spaced \nlast",
             [b" spaced ", b"last"]),
        ]
        for what, content, pieces in cases:
            with self.subTest(what):
                self.assertEqual(self.parsed(content), pieces)


if __name__ == "__main__":
    unittest.main()
