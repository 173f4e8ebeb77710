# SPDX-License-Identifier: MIT
"""Runs the examples a user copies from the documentation, and checks what
they print where the text shows it.

    docs_test.py --build DIR    against a build tree (DIR/bin, DIR/python)
    docs_test.py --installed    against the installed packages

Examples are the fenced blocks of README.md and SECURITY.md (``sh``: a
script; ``console``: "$ " commands, each followed by the output it must
print; ``python`` and ``js``: a script; ``sql``: psql's input, in a database
with the extension on a private cluster, against a build tree) and the .nf/.fi blocks of the man pages'
EXAMPLES sections. An indented code block is an error: fence it, so that it
is either run or marked as text. The blocks of one document run in order,
in a scratch copy of the source tree where the files the examples assume a
user has (notes.txt, a docs/ directory) exist; exported variables carry
from one block to the next. A marker on the line before a block changes
that, visibly in the document's source:

    <!-- docs-test: skip: REASON -->       never run (printed with REASON)
    <!-- docs-test: build-tree -->         only against a build tree
    <!-- docs-test: installed -->          only against the installed packages
    <!-- docs-test: needs CMD -->          skipped where CMD is not installed
    <!-- docs-test: until-killed -->       runs for 3 s, then is stopped

(several at once: "build-tree, until-killed")
(in a man page: .\\" docs-test: ...). Then the Python package's doctests.
Prints one line per block; exits 1 when any fails.

First, the prose of every document (README.md, SECURITY.md, BENCHMARKS.md,
CHANGELOG.md and the man pages) is read for text left in by mistake: TODO,
FIXME, TBD, XXX, {{...}}, and NAMES_LIKE_THIS that name nothing in the
source tree (a placeholder, or a setting that was renamed).
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MARKDOWN = ["README.md", "SECURITY.md"]
MAN_PAGES = ["tools/sealkit.1", "client/pushdemo.1", "sealkit/sealkit.3"]
RUN = {"sh", "console", "python", "js", "sql"}
NOT_RUN = {"c", "cmake", "text"}
UNTIL_KILLED_SECONDS = 3


PROSE = MARKDOWN + ["BENCHMARKS.md", "CHANGELOG.md"] + MAN_PAGES
LEFTOVER = re.compile(r"\b(?:TODO|FIXME|TBD|XXX)\b|\{\{[^}]*\}\}")
# Not after "-": a compiler's -DNAME is the name with a flag in front.
NAME = re.compile(r"(?<![\w-])[A-Z][A-Z0-9]*(?:_[A-Z0-9]+)+\b")
CODE_DIRS = ["sealkit", "tools", "client", "sdk_standin", "python", "node", "postgresql", "scripts",
             "tests", "bench", "fuzz", "examples", "cmake", "debian", ".ci"]


def source_names():
    """Every NAME_LIKE_THIS in the source tree's code and build files."""
    names = set()
    paths = [os.path.join(SOURCE, f) for f in ("CMakeLists.txt", "CMakePresets.json", "build.sh")]
    for d in CODE_DIRS:
        for root, dirs, files in os.walk(os.path.join(SOURCE, d)):
            dirs[:] = [x for x in dirs if x not in ("node_modules", "build", "__pycache__")]
            paths += [os.path.join(root, f) for f in files]
    for path in paths:
        if os.path.relpath(path, SOURCE) in PROSE or not os.path.isfile(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            names.update(NAME.findall(f.read()))
    return names


def leftovers():
    """Lines of the documents that hold text left in by mistake."""
    known, found = source_names(), []
    for doc in PROSE:
        with open(os.path.join(SOURCE, doc), encoding="utf-8") as f:
            for n, line in enumerate(f, 1):
                bad = LEFTOVER.findall(line) + [m for m in NAME.findall(line) if m not in known]
                found += [f"{doc}:{n}: {b}" for b in bad]
    return found


def unlisted():
    """Files of the tree (as git tracks it) that README's Layout table does
    not name; none when this is no git checkout."""
    try:
        files = subprocess.run(["git", "-C", SOURCE, "ls-files"], capture_output=True, text=True,
                               check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return []
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        text = f.read()
    layout = text[text.index("## Layout"):text.index("\n## ", text.index("## Layout") + 1)]
    stem = lambda f: os.path.splitext(os.path.basename(f))[0]  # noqa: E731
    return [f for f in files if not f.startswith("fuzz/corpus/")
            and os.path.basename(f) not in layout and f"`{stem(f)}" not in layout]


class Block:
    def __init__(self, doc, line, lang, text, marker):
        self.doc, self.line, self.lang, self.text, self.marker = doc, line, lang, text, marker

    def where(self):
        return f"{self.doc}:{self.line}"


def markdown_blocks(doc):
    lines = open(os.path.join(SOURCE, doc), encoding="utf-8").read().split("\n")
    blocks, marker, i, prev_blank = [], "", 0, True
    while i < len(lines):
        line = lines[i]
        m = re.match(r"<!-- docs-test: (.*) -->$", line.strip())
        if m:
            marker = m.group(1)
        elif line.startswith("```"):
            lang, start, body = line[3:].strip(), i + 1, []
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i])
                i += 1
            if lang not in RUN | NOT_RUN:
                raise SystemExit(f"{doc}:{start}: fence the block as one of "
                                 f"{', '.join(sorted(RUN | NOT_RUN))}, not {lang!r}")
            blocks.append(Block(doc, start, lang, "\n".join(body) + "\n", marker))
            marker = ""
        elif line.startswith("    ") and line.strip() and prev_blank and not in_list(lines, i):
            raise SystemExit(f"{doc}:{i + 1}: an indented code block: fence it as sh, console, "
                             "python or text")
        elif line.strip():
            marker = marker if line.lstrip().startswith("<!--") else ""
        prev_blank = not line.strip()
        i += 1
    return blocks


def in_list(lines, i):
    """Whether line i continues a list item (indented text, not code)."""
    for j in range(i - 1, -1, -1):
        if not lines[j].strip():
            continue
        if re.match(r"\s*([-*]|\d+\.) ", lines[j]):
            return True
        if not lines[j].startswith("    "):
            return False
    return False


def man_blocks(doc):
    lines = open(os.path.join(SOURCE, doc), encoding="utf-8").read().split("\n")
    blocks, section, marker, i = [], "", "", 0
    while i < len(lines):
        line = lines[i]
        if line.startswith(".SH"):
            section = line[3:].strip().strip('"')
        m = re.match(r'\.\\" docs-test: (.*)', line)
        if m:
            marker = m.group(1)
        elif line.startswith(".nf") and section == "EXAMPLES":
            start, body = i + 1, []
            i += 1
            while i < len(lines) and not lines[i].startswith(".fi"):
                body.append(roff_text(lines[i]))
                i += 1
            blocks.append(Block(doc, start + 1, "sh", "\n".join(body) + "\n", marker))
            marker = ""
        i += 1
    return blocks


def roff_text(line):
    for escape, text in ((r"\-", "-"), (r"\(aq", "'"), (r"\(dq", '"'), (r"\e", "\\"), (r"\&", "")):
        line = line.replace(escape, text)
    return line


def console_steps(text):
    """(command, expected output or None) for each "$ " line."""
    steps = []
    for line in text.rstrip("\n").split("\n"):
        if line.startswith("$ "):
            steps.append([line[2:], []])
        elif steps:
            steps[-1][1].append(line)
        else:
            raise ValueError(f"output before the first command: {line!r}")
    return [(cmd, "\n".join(out) + "\n" if out else None) for cmd, out in steps]


class Runner:
    def __init__(self, build):
        self.build = build
        self.work = tempfile.mkdtemp(prefix="docs_test.")
        self.env = dict(os.environ, HOME=self.work, LC_ALL="C.UTF-8")
        for var in [v for v in self.env if v.startswith(("OSTREL_SDK_", "PYTHON"))]:
            del self.env[var]
        # Against a build tree: its commands first on PATH, and its Python
        # package for the python blocks and the doctests (shell blocks set
        # PYTHONPATH themselves where the text says so).
        self.python_env = {}
        if build:
            self.env["PATH"] = os.path.join(build, "bin") + os.pathsep + self.env["PATH"]
            self.python_env = {"PYTHONPATH": os.path.join(build, "python")}
        self.failed = 0

    def scratch(self, doc):
        """A copy of the source tree, with the build tree at build/release, the
        files the examples assume, and the environment file."""
        d = os.path.join(self.work, os.path.basename(doc))
        try:  # what git tracks, where there is git; else the tree less its builds
            tracked = subprocess.run(["git", "-C", SOURCE, "ls-files", "-z"], capture_output=True)
            names = tracked.stdout.decode().split("\0") if tracked.returncode == 0 else None
        except FileNotFoundError:
            names = None
        if names:
            for name in filter(None, names):
                os.makedirs(os.path.join(d, os.path.dirname(name)), exist_ok=True)
                shutil.copy2(os.path.join(SOURCE, name), os.path.join(d, name))
        else:
            # Links as links: a package build leaves some that point nowhere.
            shutil.copytree(SOURCE, d, symlinks=True,
                            ignore=shutil.ignore_patterns("build", "build-*", ".git", "node_modules",
                                                          ".debhelper", "tmp"))
        if self.build:
            os.makedirs(os.path.join(d, "build"), exist_ok=True)
            os.symlink(self.build, os.path.join(d, "build", "release"))
            # The Node.js package, as `npm install` would place it.
            os.makedirs(os.path.join(d, "node_modules"), exist_ok=True)
            os.symlink(os.path.join(self.build, "node"), os.path.join(d, "node_modules", "sealkit"))
        with open(os.path.join(d, "notes.txt"), "w") as f:
            f.write("Notes to keep.\n" * 3)
        os.makedirs(os.path.join(d, "docs"), exist_ok=True)
        with open(os.path.join(d, "docs", "guide.txt"), "w") as f:
            f.write("A guide.\n" * 1000)
        open(os.path.join(d, ".env"), "w").close()
        return d

    def bash(self, cwd, script, until_killed=False, python=False):
        """Runs a script with the variables earlier blocks exported; keeps
        the ones it exports. (status, output)."""
        wrapped = f"set -eo pipefail\nsource ./.env\n{script}\nexport -p > .env\n"
        env = dict(self.env, **self.python_env) if python else self.env
        p = subprocess.Popen(["bash", "-c", wrapped], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             start_new_session=True)
        try:
            out, _ = p.communicate(timeout=UNTIL_KILLED_SECONDS if until_killed else 300)
            return p.returncode, out
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            out, _ = p.communicate()
            return (0 if until_killed else -1), out

    def run_block(self, cwd, b):
        until_killed = "until-killed" in b.marker
        if b.lang == "python":
            with open(os.path.join(cwd, "example.py"), "w") as f:
                f.write(b.text)
            return self.bash(cwd, "/usr/bin/python3 example.py", python=True)
        if b.lang == "js":
            with open(os.path.join(cwd, "example.js"), "w") as f:
                f.write(b.text)
            # On each back end the package has here: the addon, and the
            # WebAssembly module where it was built.
            rc, out = self.bash(cwd, "SEALKIT_BACKEND=native node example.js")
            if rc == 0 and os.path.exists(os.path.join(self.build, "node", "lib", "sealkit_wasm.js")):
                rc, out = self.bash(cwd, "SEALKIT_BACKEND=wasm node example.js")
                out = f"(on the WebAssembly back end)\n{out}"
            return rc, out
        if b.lang == "sql":
            with open(os.path.join(cwd, "example.sql"), "w") as f:
                f.write(b.text)
            return self.bash(cwd, "tests/postgresql/regress.sh build/release/sealkit/libsealkit.a "
                                  "build/release/bin/sealkit -- example.sql")
        if b.lang == "sh":
            return self.bash(cwd, b.text, until_killed)
        for cmd, want in console_steps(b.text):
            rc, out = self.bash(cwd, cmd, until_killed)
            if rc != 0:
                return rc, f"$ {cmd}\n{out}"
            if want is not None and out != want:
                return 1, f"$ {cmd}\nprinted:\n{out}expected:\n{want}"
        return 0, ""

    def skip_reason(self, b):
        if b.lang in NOT_RUN:
            return None  # not an example to run, nor one to list
        if b.marker.startswith("skip:"):
            return b.marker[5:].strip()
        if "build-tree" in b.marker and not self.build:
            return "runs against a build tree"
        if "installed" in b.marker and self.build:
            return "runs against the installed packages"
        if b.lang == "sql" and not (self.build and os.path.exists(
                os.path.join(self.build, "sealkit", "libsealkit.a"))):
            return "runs against a build tree with the static library"
        if b.lang == "js" and not (self.build and os.path.exists(
                os.path.join(self.build, "node", "build", "Release", "sealkit.node"))):
            return "the Node.js package is not built here"
        if b.marker.startswith("needs "):
            cmd = b.marker[6:].strip()
            if shutil.which(cmd, path=self.env["PATH"]) is None:
                return f"{cmd} is not installed"
        return ""

    def document(self, doc, blocks):
        cwd = self.scratch(doc)
        for b in blocks:
            reason = self.skip_reason(b)
            if reason is None:
                continue
            if reason:
                print(f"skipped {b.where()}: {reason}")
                continue
            rc, out = self.run_block(cwd, b)
            if rc == 77 and b.lang == "sql":  # regress.sh's skip: it says what is missing
                print(f"skipped {b.where()}: {out.strip().splitlines()[-1]}")
                continue
            print(f"{'ok' if rc == 0 else 'FAILED'} {b.where()} ({b.lang})")
            if rc != 0:
                self.failed += 1
                print("    " + (b.text + "--\n" + out).replace("\n", "\n    "))

    def doctests(self):
        open(os.path.join(self.work, ".env"), "w").close()
        rc, out = self.bash(self.work, "/usr/bin/python3 -c 'import doctest, sys, sealkit; "
                                       "sys.exit(doctest.testmod(sealkit).failed != 0)'",
                            python=True)
        print(f"{'ok' if rc == 0 else 'FAILED'} doctest sealkit")
        if rc != 0:
            self.failed += 1
            print(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    mode = ap.add_mutually_exclusive_group(required=True)
    mode.add_argument("--build", metavar="DIR", help="the build tree to test")
    mode.add_argument("--installed", action="store_true", help="test the installed packages")
    args = ap.parse_args()
    r = Runner(os.path.abspath(args.build) if args.build else None)
    for where in leftovers():
        print(f"FAILED {where}: left in by mistake, or names nothing in the source")
        r.failed += 1
    for f in unlisted():
        print(f"FAILED {f}: README's Layout table does not name it")
        r.failed += 1
    try:
        for doc in MARKDOWN:
            r.document(doc, markdown_blocks(doc))
        for doc in MAN_PAGES:
            r.document(doc, man_blocks(doc))
        r.doctests()
    finally:
        shutil.rmtree(r.work, ignore_errors=True)
    print(f"docs: {'FAILED' if r.failed else 'ok'}")
    return 1 if r.failed else 0


if __name__ == "__main__":
    sys.exit(main())
