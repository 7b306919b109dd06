#!/usr/bin/env python3
"""Runs the transcripts of the manual and fails where the product says
something else than the text.

    transcripts.py SOURCE_DIR BUILD_DIR [FILE.md ...]

It reads README.md and docs/*.md, or the files given. Each console block
runs in a shell of its own against the build tree; c blocks must build and
python blocks pass mypy --strict. The section "A manual that stays true" of
docs/inside.md says what the blocks, the comments before them and the
placeholders in them mean.
"""

import concurrent.futures
import difflib
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

PLACEHOLDERS = {
    "<PORT>": r"\d{1,5}",
    "<TMP>": r"/\S*?",
    "<DATE>": r"[A-Za-z0-9][A-Za-z0-9 :.,+-]*?",
    "<PID>": r"\d+",
    "<HANDLE>": r"(?:0x)?[0-9A-Fa-f]+",
    "<USER>": r"[a-z_][a-z0-9_-]*",
}
TOKEN = re.compile("|".join(map(re.escape, [*PLACEHOLDERS, "..."])) + r"| {2,}")
BLOCK = re.compile(r"^(?:<!--\s*(transcript|file):\s*([^\n]*?)\s*-->\n)?```(\w*)\n(.*?)^```", re.M | re.S)
MARK = re.compile(rb"\n\x1e(\d+)\x1e\n")
COMMAND_SECONDS = 60
LPSTAT_SECONDS = 30


@dataclass
class Block:
    path: Path
    line: int  # of the opening fence
    lang: str
    body: list[str]
    directive: str  # <!-- transcript: ... -->
    file_name: str  # <!-- file: ... -->

    def at(self, line: int = 0) -> str:
        return f"{self.path.name}:{line or self.line}"


def read_blocks(path: Path) -> list[Block]:
    text = path.read_text()
    blocks = []
    for m in BLOCK.finditer(text):
        line = text.count("\n", 0, m.start(3)) + 1
        kind, value = m.group(1) or "", m.group(2) or ""
        blocks.append(Block(path, line, m.group(3), m.group(4).splitlines(),
                            value if kind == "transcript" else "", value if kind == "file" else ""))
    return blocks


def commands_of(block: Block) -> list[tuple[int, str, list[str]]]:
    """(line, command, the lines it printed): "> " continues a command."""
    commands: list[tuple[int, str, list[str]]] = []
    for n, text in enumerate(block.body, start=block.line + 1):
        if text.startswith("$ "):
            commands.append((n, text[2:], []))
        elif text.startswith("> ") and commands and not commands[-1][2]:
            commands[-1] = (commands[-1][0], commands[-1][1] + "\n" + text[2:], [])
        elif commands:
            commands[-1][2].append(text)
        else:
            raise ValueError(f"{block.at(n)}: output before the first command")
    return commands


def pattern(expected: list[str]) -> re.Pattern[str]:
    regex = ""
    for line in expected:
        if line == "...":
            regex += r"(?:.*\n)*?"
            continue
        pos = 0
        for token in TOKEN.finditer(line):
            word = token.group()
            regex += re.escape(line[pos : token.start()])
            regex += PLACEHOLDERS.get(word, ".*?" if word == "..." else " +")
            pos = token.end()
        regex += re.escape(line[pos:]) + r" *\n"
    return re.compile(regex)


def normalise(output: str) -> str:
    return "".join(line.expandtabs(8).rstrip() + "\n" for line in output.splitlines())


class Shell:
    """A bash that reads its commands from us: each answer ends at a mark."""

    def __init__(self, argv: list[str], cwd: Path, env: dict[str, str]) -> None:
        self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.pending = b""

    def run(self, text: str) -> str | None:
        assert self.proc.stdin and self.proc.stdout
        # Commands read nothing of ours: their input is their own or none.
        self.proc.stdin.write(f"{{ {text}\n}} </dev/null\nprintf '\\n\\036%s\\036\\n' $?\n".encode())
        self.proc.stdin.flush()
        deadline = time.monotonic() + COMMAND_SECONDS
        while not (mark := MARK.search(self.pending)):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.pending += chunk
        out, self.pending = self.pending[: mark.start()], self.pending[mark.end() :]
        return normalise(out.decode(errors="replace"))

    def close(self) -> None:
        try:
            self.proc.communicate(timeout=30)
        except (subprocess.TimeoutExpired, BrokenPipeError):
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


class Runner:
    def __init__(self, source: Path, build: Path) -> None:
        self.source, self.build = source, build

    def folder(self, md: Path) -> Path:
        """The source tree's entries, build/default, HOME, and the file blocks."""
        work = Path(tempfile.mkdtemp(prefix="q48-docs."))
        work.chmod(0o755)  # the cupsd's shell (nobody, under root) copies files from here
        for entry in self.source.iterdir():
            if entry.name not in {"build", ".git"}:
                (work / entry.name).symlink_to(entry)
        (work / "build").mkdir()
        (work / "build/default").symlink_to(self.build)
        (work / "home").mkdir()
        for block in read_blocks(md):
            if block.file_name:
                (work / block.file_name).write_text("\n".join(block.body) + "\n")
        return work

    def shell(self, block: Block, work: Path) -> Shell:
        b = self.build
        env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_", "UMOCKDEV", "CUPS"))}
        programs = [b / "tools", b / "api_test", b / "test_support/emulated_printer", b / "examples"]
        env.update(PATH=":".join(map(str, programs)) + ":" + env.get("PATH", "/usr/bin:/bin"),
                   PYTHONPATH=str(self.source / "python"), Q48_BUILD_DIR=str(b),
                   HOME=str(work / "home"), LC_ALL="C", PYTHONDONTWRITEBYTECODE="1",
                   CUPS_SERVER="/nonexistent/cups.sock")  # try-cups.sh names its own
        parts = [p.strip() for p in block.directive.split(",")]
        printer = next((p.split()[1:] for p in parts if p.startswith("printer")), None)
        bash = ["bash", "--norc", "--noprofile"]
        if "cupsd" in parts:
            shell = Shell([str(self.source / "scripts/try-cups.sh"), "--build", str(b), "--shell",
                           "--printer", " ".join(printer or [])], work, env)
            # Stands in for a machine where q48-cups is installed and we may
            # administer CUPS: its own, and nothing else.
            files = "".join(f" '{work}/{f.file_name}'" for f in read_blocks(block.path) if f.file_name)
            shell.run(r"""sudo() { case $1 in lp*|cups*) "$@" ;; *) echo "sudo: not here" >&2; return 1 ;; esac; }
                lpadmin() { local a=() x; for x; do
                  [ "$x" = lsb/usr/q48/q48.ppd ] && a[-1]=-P && x=$PWD/q48.ppd; a+=("$x"); done
                  command lpadmin "${a[@]}"; }""" + (f"\ncp{files} ." if files else ""))
            return shell
        if printer is not None:
            bash = [str(b / "test_support/emulated_printer/q48-emulated-printer"), *printer, "--", *bash]
        shell = Shell(bash, work, env)
        # The tests run as root: a transcript that changes the machine must
        # be marked not run here rather than run.
        shell.run('sudo() { echo "sudo: not here" >&2; return 1; }')
        return shell

    def transcript(self, block: Block, work: Path) -> list[str]:
        try:
            commands = commands_of(block)
        except ValueError as error:
            return [str(error)]
        faults, shell = list[str](), self.shell(block, work)
        try:
            for line, command, expected in commands:
                want, deadline = pattern(expected), time.monotonic() + LPSTAT_SECONDS
                # lpstat reports on jobs in the background: it is asked again.
                while (got := shell.run(command)) is not None and not want.fullmatch(got) \
                        and command.startswith("lpstat") and time.monotonic() < deadline:
                    time.sleep(0.5)
                if got is None:
                    said = shell.pending.decode(errors="replace")[-2000:]
                    return faults + [f"{block.at(line)}: $ {command}\n    the shell ended, or the "
                                     f"command ran past {COMMAND_SECONDS} s; its last words:\n{said}"]
                if not want.fullmatch(got):
                    diff = difflib.unified_diff(expected, got.splitlines(), lineterm="", n=1)
                    faults.append(f"{block.at(line)}: $ {command}\n    " + "\n    ".join(list(diff)[2:]))
        finally:
            shell.close()
        return faults

    def markdown_file(self, md: Path) -> tuple[int, int, int, list[str]]:
        """Runs md's transcripts in order: (run, not run, failing, faults)."""
        blocks = [b for b in read_blocks(md) if b.lang == "console"]
        kept = [b for b in blocks if not b.directive.startswith("not run here")]
        work, faults, failing = self.folder(md), list[str](), 0
        try:
            for block in kept:
                found = self.transcript(block, work)
                failing += bool(found)
                faults += found
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return len(kept), len(blocks) - len(kept), failing, faults

    def snippets(self, files: list[Path], scratch: Path) -> tuple[int, list[str]]:
        """Builds the c blocks and type-checks the python blocks."""
        faults: list[str] = []
        named = [(scratch / f"{md.stem}_{i}.{'py' if b.lang == 'python' else 'c'}", b)
                 for md in files for i, b in enumerate(read_blocks(md)) if b.lang in ("c", "python")]
        for name, block in named:
            name.write_text("\n".join(block.body) + "\n")
        s, b = self.source, self.build
        for name, block in [(n, k) for n, k in named if k.lang == "c"]:
            r = subprocess.run(["cc", "-std=c11", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
                                f"-I{s}/Q48_Api/Sources", f"-I{s}/Q48_Tb/Sources", str(name),
                                f"-L{b}/Q48_Api/Sources", f"-L{b}/Q48_Tb/Sources", "-lQ48Api",
                                "-lQ48Tb", "-o", str(name.with_suffix(""))],
                               capture_output=True, text=True)
            if r.returncode != 0:
                faults.append(f"{block.at()}: the C snippet does not build\n"
                              + located(r.stderr, name, block))
        python = [(n, k) for n, k in named if k.lang == "python"]
        if python:
            r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                                f"--cache-dir={b}/tests/docs/mypy_cache", *[str(n) for n, _ in python]],
                               capture_output=True, text=True, env={**os.environ, "MYPYPATH": f"{s}/python"})
            faults += [f"{block.at()}: mypy --strict finds fault\n" + located(r.stdout, name, block)
                       for name, block in python if str(name) in r.stdout]
            if r.returncode != 0 and not faults:
                faults.append("mypy failed:\n" + r.stdout + r.stderr)
        return len(named), faults


def located(messages: str, name: Path, block: Block) -> str:
    """A compiler's messages about a snippet, at their lines of the file."""
    def at(m: re.Match[str]) -> str:
        return f"{block.at(block.line + int(m.group(1)))}:"
    return "\n".join("    " + re.sub(re.escape(str(name)) + r":(\d+):", at, line)
                     for line in messages.splitlines() if str(name) in line)


def dead_links(md: Path) -> list[str]:
    return [f"{md.name}:{n}: the link to {target} leads nowhere"
            for n, line in enumerate(md.read_text().splitlines(), start=1)
            for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", line)
            if not re.match(r"^[a-z]+:", target) and not (md.parent / target).exists()]


def main() -> int:
    source, build = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    files = [Path(f).resolve() for f in sys.argv[3:]] or \
        [source / "README.md", *sorted((source / "docs").glob("*.md"))]
    runner, start = Runner(source, build), time.monotonic()
    faults = [fault for md in files for fault in dead_links(md)]
    run = not_run = failing = 0
    with tempfile.TemporaryDirectory() as scratch:
        snippets, found = runner.snippets(files, Path(scratch))
        faults += found
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for r, n, f, found in pool.map(runner.markdown_file, files):
                run, not_run, failing, faults = run + r, not_run + n, failing + f, faults + found
    for fault in faults:
        print(fault, end="\n\n")
    print(f"{run} transcripts run, {failing} failing; {not_run} marked not run here; {snippets} "
          f"snippets built or type-checked; {len(faults)} faults in all; "
          f"{time.monotonic() - start:.0f} s")
    print(f"transcripts: {run - failing} passed, {failing} failed")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
