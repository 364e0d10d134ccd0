#!/usr/bin/env python3
"""The fast path, end to end: plumo-share against its baselines in one run.

Each row times whole processes, from their start to their exit, headless and
with no host installed, interleaved run by run so that whatever else the
machine does weighs on both sides alike; the medians are compared. Every run
gets a throw-away data home, so no run finds another's inbox.

usage: fast_path.py BUILD_DIR [RUNS]
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MIB = 1024 * 1024
FILE_SIZE = 12 * MIB


class Row:
    def __init__(self, name, goal, measured, baseline=None):
        self.name, self.goal, self.measured, self.baseline = name, goal, measured, baseline
        self.samples, self.baseline_samples = [], []
        self.cpu, self.baseline_cpu = [], []  # user + system time, less swayed by a busy machine


def headless_environment(data_home):
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("DISPLAY", "WAYLAND_DISPLAY", "G_MESSAGES_DEBUG")}
    environment.update(XDG_DATA_HOME=str(data_home), XDG_CONFIG_HOME=str(data_home / "config"),
                       XDG_DATA_DIRS="/usr/share", LANG="C.UTF-8")
    return environment


CPU_SECONDS = []  # (command, user + system seconds) of every run, for the CPU column


def run(command, environment, standard_input=subprocess.DEVNULL):
    """Seconds from the start to the exit, and the exit status."""
    started = time.monotonic()
    process = subprocess.Popen(command, env=environment, stdin=standard_input,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.monotonic() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    CPU_SECONDS.append(usage.ru_utime + usage.ru_stime)
    return elapsed, process.returncode


class Bench:
    def __init__(self, build, scratch):
        self.program = str(build / "bin" / "plumo-share")
        self.native_host = str(build / "bin" / "plumo-share-native-host")
        self.first_frame = str(build / "bin" / "bench_first_frame")
        self.peak_memory = str(build / "bin" / "bench_peak_memory")
        self.scratch = scratch
        self.sources = [scratch / f"source-{index}.bin" for index in range(4)]
        for source in self.sources:
            with open(source, "wb") as out:
                out.write(os.urandom(FILE_SIZE))
        self.counter = 0

    def fresh(self):
        self.counter += 1
        folder = self.scratch / f"run-{self.counter}"
        folder.mkdir()
        return folder

    def share(self, *items):
        home = self.fresh()
        elapsed, status = run([self.program, *items], headless_environment(home))
        if status != 3:
            sys.exit(f"plumo-share {' '.join(items)} ended with {status}, not 3 (published, no host)")
        shutil.rmtree(home)
        return elapsed

    def native_host_text(self):
        """One text request to the browser's native host, as sendNativeMessage sends it."""
        home = self.fresh()
        request = b'{"version":1,"items":[{"text":"a text"}]}'
        (home / "request").write_bytes(len(request).to_bytes(4, sys.byteorder) + request)
        with open(home / "request", "rb") as standard_input:
            elapsed, status = run([self.native_host, "chrome-extension://bench/"], headless_environment(home),
                                  standard_input)
        if status != 0:
            sys.exit(f"plumo-share-native-host ended with {status}")
        shutil.rmtree(home)
        return elapsed

    def peak_of_share(self, *items):
        """Peak resident memory of a share, in KiB."""
        home = self.fresh()
        record = home / "peak"
        run([self.peak_memory, str(record), self.program, *items], headless_environment(home))
        peak = int(record.read_text())
        shutil.rmtree(home)
        return peak

    def gio_open(self):
        home = self.fresh()
        elapsed, _ = run(["gio", "open", "plumo://bot-share?id=x"], headless_environment(home))
        shutil.rmtree(home)
        return elapsed

    def cp_and_sync(self, sources):
        home = self.fresh()
        environment = headless_environment(home)
        copied, status = run(["cp", *map(str, sources), str(home)], environment)
        synced, _ = run(["sync", "-f", str(home / sources[0].name)], environment)
        if status != 0:
            sys.exit("cp failed")
        shutil.rmtree(home)
        return copied + synced

    def libraries(self, command):
        """The shared objects the loader initialises for a command, from start to exit."""
        home = self.fresh()
        record = home / "loader"
        environment = headless_environment(home)
        environment.update(LD_DEBUG="libs", LD_DEBUG_OUTPUT=str(record))
        subprocess.run(command, env=environment, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        names = set()
        for log in home.glob("loader.*"):
            names.update(re.findall(r"calling init: (\S+)", log.read_text()))
        shutil.rmtree(home)
        return sorted(names)

    def first_frame_ms(self, runs):
        """Process start to the card's first frame under Xvfb (cairo), the median of `runs`."""
        if not shutil.which("xvfb-run"):
            return None
        script = ("import subprocess,sys,time,statistics\n"
                  "samples=[]\n"
                  f"for _ in range({runs}):\n"
                  "  started=time.monotonic_ns()\n"
                  f"  child=subprocess.Popen([{self.first_frame!r},'--child'],stdout=subprocess.PIPE)\n"
                  "  line=child.stdout.readline().split()\n"
                  "  child.wait()\n"
                  "  samples.append((int(line[0])-started)/1e6)\n"
                  "print(statistics.median(samples))\n")
        environment = dict(os.environ, GTK_A11Y="none")
        output = subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", sys.executable, "-c", script],
                                env=environment, capture_output=True, text=True)
        if output.returncode != 0:
            return None
        return float(output.stdout.split()[-1])


def main():
    build = Path(sys.argv[1]).resolve()
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    scratch = Path(tempfile.mkdtemp(prefix="plumo-bench-", dir=build))
    try:
        bench = Bench(build, scratch)
        one, four = bench.sources[:1], bench.sources
        rows = [
            Row("a text", 1.0, lambda: bench.share("--text", "a text"), bench.gio_open),
            Row("one 12 MiB file", 1.10, lambda: bench.share(str(one[0])), lambda: bench.cp_and_sync(one)),
            Row("four 12 MiB files", 1.25, lambda: bench.share(*map(str, four)), lambda: bench.cp_and_sync(four)),
            Row("browser request through the native host (text)", 1.10, bench.native_host_text,
                lambda: bench.share("--no-ui", "--text", "a text")),
        ]
        text_peaks, file_peaks = [], []
        for index in range(runs):
            # Interleaved, and in turn first: neither side always runs on a warmer machine.
            for row in rows if index % 2 == 0 else reversed(rows):
                pair = [(row.samples, row.measured), (row.baseline_samples, row.baseline)]
                for samples, measure in pair if index % 2 == 0 else reversed(pair):
                    CPU_SECONDS.clear()
                    samples.append(measure())
                    cpu = row.cpu if measure is row.measured else row.baseline_cpu
                    cpu.append(sum(CPU_SECONDS))
            text_peaks.append(bench.peak_of_share("--text", "a text"))
            file_peaks.append(bench.peak_of_share(str(one[0])))

        print(f"The fast path: medians of {runs} interleaved runs, process start to exit, headless, no host")
        print(f"{'share':<44}{'plumo-share':>12}{'baseline':>12}{'ratio':>8}{'goal':>8}{'CPU ratio':>11}")
        baselines = ["gio open plumo://...", "cp + sync -f", "cp of four + sync -f", "plumo-share --no-ui --text"]
        for row, baseline in zip(rows, baselines):
            measured, base = statistics.median(row.samples), statistics.median(row.baseline_samples)
            ratio = measured / base
            cpu = statistics.median(row.cpu) / statistics.median(row.baseline_cpu)
            verdict = "" if ratio <= row.goal else "  missed"
            print(f"{row.name + ' vs ' + baseline:<44}{measured * 1e3:>10.1f}ms{base * 1e3:>10.1f}ms"
                  f"{ratio:>7.2f}x{row.goal:>7.2f}x{cpu:>10.2f}x{verdict}")
        # What the files themselves cost: a file share less a text share (start-up, publish and
        # hand-off are the same in both), against the baseline that does nothing but the files.
        text = statistics.median(rows[0].samples)
        for row in rows[1:3]:
            files, base = statistics.median(row.samples) - text, statistics.median(row.baseline_samples)
            print(f"{'  ' + row.name + ' less a text share':<44}{files * 1e3:>10.1f}ms{base * 1e3:>10.1f}ms"
                  f"{files / base:>7.2f}x")
        extra = (statistics.median(file_peaks) - statistics.median(text_peaks)) / 1024
        print(f"{'peak memory, 12 MiB file vs text':<44}{statistics.median(file_peaks) / 1024:>9.1f}MiB"
              f"{statistics.median(text_peaks) / 1024:>9.1f}MiB{extra:>+6.2f}MiB{'+1MiB':>6}"
              f"{'' if extra <= 1 else '  missed'}")
        frame = bench.first_frame_ms(runs)
        print(f"{'card first frame (Xvfb, cairo)':<44}" +
              (f"{frame:>10.1f}ms{'':>12}{'':>8}{'100ms':>8}{'' if frame <= 100 else '  missed'}"
               if frame is not None else f"{'no Xvfb':>12}"))
        ours = bench.libraries([bench.program, "--text", "a text"])
        theirs = bench.libraries(["gio", "open", "plumo://bot-share?id=x"])
        print(f"{'libraries a headless text share maps':<44}{len(ours):>12}{len(theirs):>12}   (gio open)")
        toolkit = [name for name in ours if re.search(r"gtk|gdk|cairo|pango|X11|xcb|wayland", name)]
        if toolkit:
            print("  desktop toolkit mapped headless: " + " ".join(toolkit))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
