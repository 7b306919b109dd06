#!/usr/bin/env python3
"""Runs the transcripts of the manual and fails where the product says
something else than the text.

    transcripts.py SOURCE_DIR BUILD_DIR [FILE.md ...]

It reads README.md and docs/*.md (or the files given):

- A ```console block is a transcript. A line that starts with "$ " is a
  command, "> " continues it (the shell's second prompt), and every other
  line is what the commands printed, standard output and error as they came.
  Each block runs in a shell of its own, from a folder that holds the source
  tree's top-level entries and build/default (the build tree), with the build
  tree's programs first on PATH, the Python package q48 importable
  (PYTHONPATH, Q48_BUILD_DIR), HOME in a fresh folder and LC_ALL=C. The blocks
  of one file share the folder, in their order.
- A ```c block must compile and link against the build tree's libraries with
  every warning an error; a ```python block must pass mypy --strict.
- Relative links of the files must lead to files that exist.

An HTML comment on the line before a block says more about it:

    <!-- file: NAME -->           the next c or python block is also written
                                  to NAME in the folder, for the transcripts
    <!-- transcript: not run here (WHY) -->
                                  counted, not run: it installs onto the
                                  machine, needs real hardware or another host
    <!-- transcript: printer OPTIONS -->
                                  the shell runs as a child of
                                  q48-emulated-printer OPTIONS: the printer is
                                  plugged in for the whole block
    <!-- transcript: cupsd[, printer OPTIONS] -->
                                  the shell runs in scripts/try-cups.sh
                                  --shell, a private cupsd's folder with the
                                  emulated printer plugged in; "sudo CMD" runs
                                  CMD, and "lpadmin -m lsb/usr/q48/q48.ppd"
                                  takes the source tree's PPD, as if q48-cups
                                  were installed

What varies from run to run is written as a placeholder in the text: <PORT>
a port, <TMP> a temporary folder, <DATE> a date or time, <PID> a process id,
<HANDLE> a printer handle, <USER> the user that a program runs as. "..."
on a line of its own stands for any number of lines, and within a line for
any text. A run of two or more blanks matches any run of blanks (columns
follow the width of a user's name), and tabs count as blanks to the next
multiple of 8. An lpstat command whose output differs is asked again for up
to 30 s: it reports what a job in the background has not done yet.
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
from dataclasses import dataclass, field
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
MARK = re.compile(rb"\n\x1e(\d+)\x1e\n")
COMMAND_SECONDS = 60
LPSTAT_SECONDS = 30


@dataclass
class Command:
    line: int  # of its "$ " line in the file
    text: str
    expected: list[str] = field(default_factory=list)


@dataclass
class Block:
    path: Path
    line: int  # of the opening fence
    lang: str
    body: list[str]
    directive: str = ""
    file_name: str = ""

    def where(self, line: int | None = None) -> str:
        return f"{self.path.name}:{line if line is not None else self.line}"


def read_blocks(path: Path) -> list[Block]:
    blocks, lines = [], path.read_text().splitlines()
    i = 0
    while i < len(lines):
        fence = re.match(r"^```(\w*)\s*$", lines[i])
        if not fence:
            i += 1
            continue
        end = i + 1
        while end < len(lines) and not lines[end].startswith("```"):
            end += 1
        block = Block(path, i + 1, fence.group(1), lines[i + 1 : end])
        comment = re.match(r"^<!--\s*(transcript|file):\s*(.*?)\s*-->$", lines[i - 1] if i else "")
        if comment and comment.group(1) == "file":
            block.file_name = comment.group(2)
        elif comment:
            block.directive = comment.group(2)
        blocks.append(block)
        i = end + 1
    return blocks


def commands_of(block: Block) -> list[Command]:
    commands: list[Command] = []
    for n, text in enumerate(block.body, start=block.line + 1):
        if text.startswith("$ "):
            commands.append(Command(n, text[2:]))
        elif text.startswith("> ") and commands and not commands[-1].expected:
            commands[-1].text += "\n" + text[2:]
        elif commands:
            commands[-1].expected.append(text)
        else:
            raise ValueError(f"{block.where(n)}: output before the first command")
    return commands


def pattern(expected: list[str]) -> re.Pattern[str]:
    parts = []
    for line in expected:
        if line == "...":
            parts.append(r"(?:.*\n)*?")
            continue
        pos, regex = 0, ""
        for token in TOKEN.finditer(line):
            regex += re.escape(line[pos : token.start()])
            word = token.group()
            regex += PLACEHOLDERS.get(word, ".*?" if word == "..." else " +")
            pos = token.end()
        parts.append(regex + re.escape(line[pos:]) + r" *\n")
    return re.compile("".join(parts))


def normalise(output: str) -> str:
    lines = [line.expandtabs(8).rstrip() for line in output.splitlines()]
    return "".join(line + "\n" for line in lines)


class Shell:
    """A bash that reads its commands from us: each answer ends at a mark."""

    def __init__(self, argv: list[str], cwd: str, env: dict[str, str]) -> None:
        self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.pending = b""

    def run(self, text: str, seconds: float = COMMAND_SECONDS) -> str | None:
        assert self.proc.stdin and self.proc.stdout
        # Commands read nothing of ours: their input is their own or none.
        self.proc.stdin.write(f"{{ {text}\n}} </dev/null\nprintf '\\n\\036%s\\036\\n' $?\n".encode())
        self.proc.stdin.flush()
        deadline = time.monotonic() + seconds
        while not (mark := MARK.search(self.pending)):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.pending += chunk
        out, self.pending = self.pending[: mark.start()], self.pending[mark.end() :]
        return out.decode(errors="replace")

    def close(self) -> None:
        try:
            assert self.proc.stdin
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
        except (subprocess.TimeoutExpired, BrokenPipeError):
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


class Runner:
    def __init__(self, source: Path, build: Path) -> None:
        self.source, self.build = source, build
        self.failures: list[str] = []
        self.run = self.not_run = self.failing = self.snippet_count = 0

    def folder(self, md: Path) -> Path:
        work = Path(tempfile.mkdtemp(prefix="q48-docs."))
        work.chmod(0o755)  # the cupsd's shell (nobody, under root) copies files from here
        for entry in self.source.iterdir():
            if entry.name not in {"build", ".git"}:
                (work / entry.name).symlink_to(entry)
        (work / "build").mkdir()
        (work / "build" / "default").symlink_to(self.build)
        (work / "home").mkdir()
        for block in read_blocks(md):
            if block.file_name:
                (work / block.file_name).write_text("\n".join(block.body) + "\n")
        return work

    def env(self, work: Path) -> dict[str, str]:
        b = self.build
        env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_", "UMOCKDEV", "CUPS"))}
        programs = [b / "tools", b / "api_test", b / "test_support/emulated_printer", b / "examples"]
        env.update(PATH=":".join(map(str, programs)) + ":" + env.get("PATH", "/usr/bin:/bin"),
                   PYTHONPATH=str(self.source / "python"), Q48_BUILD_DIR=str(b),
                   HOME=str(work / "home"), LC_ALL="C", PYTHONDONTWRITEBYTECODE="1")
        return env

    def shell(self, block: Block, work: Path) -> Shell:
        bash = ["bash", "--norc", "--noprofile"]
        parts = [p.strip() for p in block.directive.split(",") if p.strip()]
        printer = next((p[len("printer"):].split() for p in parts if p.startswith("printer")), None)
        if "cupsd" in parts:
            shell = Shell([str(self.source / "scripts/try-cups.sh"), "--build", str(self.build),
                           "--shell", "--printer", " ".join(printer or [])], str(work), self.env(work))
            files = " ".join(f"'{work}/{b.file_name}'" for b in read_blocks(block.path) if b.file_name)
            shell.run(r"""sudo() { "$@"; }
                lpadmin() { local a=() x; for x; do
                  [ "$x" = lsb/usr/q48/q48.ppd ] && a[-1]=-P && x=$PWD/q48.ppd; a+=("$x"); done
                  command lpadmin "${a[@]}"; }""" + (f"\ncp {files} ." if files else ""))
            return shell
        if printer is not None:
            bash = [str(self.build / "test_support/emulated_printer/q48-emulated-printer"),
                    *printer, "--", *bash]
        shell = Shell(bash, str(work), self.env(work))
        shell.run('sudo() { "$@"; }')
        return shell

    def transcript(self, block: Block, work: Path) -> list[str]:
        failures, shell = [], self.shell(block, work)
        try:
            for command in commands_of(block):
                want = pattern(command.expected)
                deadline = time.monotonic() + LPSTAT_SECONDS
                while True:
                    got = shell.run(command.text)
                    if got is None:
                        said = shell.pending.decode(errors="replace")[-2000:]
                        failures.append(f"{block.where(command.line)}: $ {command.text}\n"
                                        f"    the shell ended, or the command did not within "
                                        f"{COMMAND_SECONDS} s; the last it said:\n{said}")
                        return failures
                    got = normalise(got)
                    if want.fullmatch(got) or not command.text.startswith("lpstat") \
                            or time.monotonic() > deadline:
                        break
                    time.sleep(0.5)
                if not want.fullmatch(got):
                    diff = difflib.unified_diff(command.expected, got.splitlines(), "the text",
                                                "the output", lineterm="", n=1)
                    failures.append(f"{block.where(command.line)}: $ {command.text}\n    "
                                    + "\n    ".join(list(diff)[2:]))
        finally:
            shell.close()
        return failures

    def markdown_file(self, md: Path) -> tuple[int, int, int, list[str]]:
        run = not_run = failing = 0
        failures: list[str] = []
        work = self.folder(md)
        try:
            for block in read_blocks(md):
                if block.lang != "console":
                    continue
                if block.directive.startswith("not run here"):
                    not_run += 1
                    continue
                run += 1
                faults = self.transcript(block, work)
                failing += 1 if faults else 0
                failures += faults
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return run, not_run, failing, failures

    def links(self, md: Path) -> None:
        for n, line in enumerate(md.read_text().splitlines(), start=1):
            for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", line):
                if not re.match(r"^[a-z]+:", target) and not (md.parent / target).exists():
                    self.failures.append(f"{md.name}:{n}: the link to {target} leads nowhere")

    def snippets(self, files: list[Path], scratch: Path) -> None:
        c: list[tuple[Path, Block]] = []
        python: list[tuple[Path, Block]] = []
        for md in files:
            for i, block in enumerate(read_blocks(md)):
                if block.lang in ("c", "python"):
                    name = scratch / f"{md.stem}_{i}.{'c' if block.lang == 'c' else 'py'}"
                    name.write_text("\n".join(block.body) + "\n")
                    (c if block.lang == "c" else python).append((name, block))
        self.snippet_count = len(c) + len(python)
        for name, block in c:
            r = subprocess.run(["cc", "-std=c11", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
                                f"-I{self.source}/Q48_Api/Sources", f"-I{self.source}/Q48_Tb/Sources",
                                str(name), f"-L{self.build}/Q48_Api/Sources",
                                f"-L{self.build}/Q48_Tb/Sources", "-lQ48Api", "-lQ48Tb",
                                f"-Wl,-rpath-link,{self.build}/Q48_Tb/Sources",
                                "-o", str(name.with_suffix(""))], capture_output=True, text=True)
            if r.returncode != 0:
                self.failures.append(f"{block.where()}: the C snippet does not build\n"
                                     + self.lines_of(r.stderr, name, block))
        if python:
            r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                                f"--cache-dir={self.build}/tests/docs/mypy_cache",
                                *[str(name) for name, _ in python]],
                               capture_output=True, text=True,
                               env={**os.environ, "MYPYPATH": str(self.source / "python")})
            for name, block in python:
                if str(name) in r.stdout:
                    self.failures.append(f"{block.where()}: mypy --strict finds fault\n"
                                         + self.lines_of(r.stdout, name, block))
            if r.returncode != 0 and not any(str(name) in r.stdout for name, _ in python):
                self.failures.append("mypy failed:\n" + r.stdout + r.stderr)

    @staticmethod
    def lines_of(messages: str, name: Path, block: Block) -> str:
        # The snippet's line n is the file's line block.line + n.
        def at(m: re.Match[str]) -> str:
            return f"{block.where(block.line + int(m.group(1)))}:"
        return "\n".join("    " + re.sub(re.escape(str(name)) + r":(\d+):", at, line)
                         for line in messages.splitlines() if str(name) in line)


def main() -> int:
    source, build = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    files = [Path(f).resolve() for f in sys.argv[3:]] or \
        [source / "README.md", *sorted((source / "docs").glob("*.md"))]
    runner = Runner(source, build)
    start = time.monotonic()
    with tempfile.TemporaryDirectory() as scratch:
        for md in files:
            runner.links(md)
        runner.snippets(files, Path(scratch))
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for run, not_run, failing, failures in pool.map(runner.markdown_file, files):
                runner.run += run
                runner.not_run += not_run
                runner.failing += failing
                runner.failures += failures
    for failure in runner.failures:
        print(failure, end="\n\n")
    print(f"{runner.run} transcripts run, {runner.failing} failing; {runner.not_run} marked not run "
          f"here; {runner.snippet_count} snippets built or type-checked; "
          f"{len(runner.failures)} faults in all; {time.monotonic() - start:.0f} s")
    print(f"transcripts: {runner.run - runner.failing} passed, {runner.failing} failed")
    return 1 if runner.failures else 0


if __name__ == "__main__":
    sys.exit(main())
