#!/usr/bin/env python3
"""The fast path, end to end: plumo-share against its baselines in one run.

The baseline of a share is its floor (bench_floor): the least any program must
do to make the same promise, written plainly. Each row times whole processes,
from their start to their exit, headless and with no host installed,
interleaved run by run so that whatever else the machine does weighs on both
sides alike; the medians are compared. Every run gets a throw-away data home,
so no run finds another's inbox; a share is timed once its store exists, as for
every share but a user's first, and so is the floor.

usage: fast_path.py BUILD_DIR [RUNS]
       fast_path.py --first-frames BUILD_DIR RUNS   (under a display; used by the above)
"""
import base64
import json
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
IMAGE_SIZE = 10 * MIB
HAND_OFF = ["gio", "open", "plumo://bot-share?id=x"]


class Row:
    def __init__(self, name, goal, measured, baseline=None, cpu_goal=None):
        self.name, self.goal, self.measured, self.baseline = name, goal, measured, baseline
        self.cpu_goal = cpu_goal
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
    def __init__(self, build, scratch, sources=4):
        self.program = str(build / "bin" / "plumo-share")
        self.native_host = str(build / "bin" / "plumo-share-native-host")
        self.first_frame_watch = str(build / "bin" / "bench_first_frame")
        self.bare_window = str(build / "bin" / "bench_bare_window")
        self.peak_memory = str(build / "bin" / "bench_peak_memory")
        self.floor_program = str(build / "bin" / "bench_floor")
        self.scratch = scratch
        self.sources = [scratch / f"source-{index}.bin" for index in range(sources)]
        for source in self.sources:
            with open(source, "wb") as out:
                out.write(os.urandom(FILE_SIZE))
        self.image = scratch / "image.png"
        self.image.write_bytes(os.urandom(IMAGE_SIZE))
        self.image_request = scratch / "image-request"
        self.write_request(self.image_request, {"file": {
            "name": "image.png", "type": "image/png", "data": base64.b64encode(self.image.read_bytes()).decode()}})
        self.text_request = scratch / "text-request"
        self.write_request(self.text_request, {"text": "a text"})
        self.counter = 0

    @staticmethod
    def write_request(path, item):
        """A request as sendNativeMessage sends it."""
        request = json.dumps({"version": 1, "items": [item]}).encode()
        path.write_bytes(len(request).to_bytes(4, sys.byteorder) + request)

    def fresh(self):
        self.counter += 1
        folder = self.scratch / f"run-{self.counter}"
        folder.mkdir()
        return folder

    def share(self, *items):
        """A share into a store that an untimed share made first: only the very first
        share of a user makes the store's folders (and syncs their parents)."""
        home = self.fresh()
        self.publish(items, home)
        CPU_SECONDS.clear()
        elapsed = self.publish(items, home)
        shutil.rmtree(home)
        return elapsed

    def publish(self, items, home):
        """Seconds a share takes; its inbox entry is removed after."""
        elapsed, status = run([self.program, *items], headless_environment(home))
        if status != 3:
            sys.exit(f"plumo-share {' '.join(items)} ended with {status}, not 3 (published, no host)")
        for inbox in home.glob("group-containers/*/PlumoShare/inbox"):
            for entry in inbox.iterdir():
                if entry.is_dir():
                    shutil.rmtree(entry)
        return elapsed

    def native_host_request(self, request):
        """One request to the browser's native host, into a store that exists, as for the baseline."""
        home = self.fresh()
        self.publish(("--text", "a text"), home)
        CPU_SECONDS.clear()
        with open(request, "rb") as standard_input:
            elapsed, status = run([self.native_host, "chrome-extension://bench/"], headless_environment(home),
                                  standard_input)
        if status != 0:
            sys.exit(f"plumo-share-native-host ended with {status}")
        shutil.rmtree(home)
        return elapsed

    def floor(self, *items, hand_off=False):
        """The floor's publish of the same items into a store that exists; with the
        hand-off a text share makes, when asked."""
        home = self.fresh()
        command = [self.floor_program, str(home / "store"), *items]
        run(command, headless_environment(home))
        CPU_SECONDS.clear()
        elapsed, status = run(command, headless_environment(home))
        if status != 0:
            sys.exit(f"bench_floor {' '.join(items)} ended with {status}")
        if hand_off:
            elapsed += run(HAND_OFF, headless_environment(home))[0]
        shutil.rmtree(home)
        return elapsed

    def fixed_cost(self, command):
        """Instructions (valgrind's count) and system calls (strace's) of a command, children
        included, into a store that exists; None where a tool is missing."""
        home = self.fresh()
        environment = headless_environment(home)
        subprocess.run(command(home), env=environment, stdin=subprocess.DEVNULL, capture_output=True)
        instructions = system_calls = None
        if shutil.which("valgrind"):
            output = subprocess.run(["valgrind", "--tool=callgrind", "--trace-children=yes",
                                     f"--callgrind-out-file={home}/callgrind.%p", *command(home)],
                                    env=environment, stdin=subprocess.DEVNULL, capture_output=True, text=True)
            instructions = sum(int(count.replace(",", "")) for count in
                               re.findall(r"Collected : ([\d,]+)", output.stderr))
        if shutil.which("strace"):
            subprocess.run(["strace", "-f", "-c", "-o", str(home / "calls"), *command(home)], env=environment,
                           stdin=subprocess.DEVNULL, capture_output=True)
            system_calls = int((home / "calls").read_text().splitlines()[-1].split()[3])
        shutil.rmtree(home)
        return instructions, system_calls

    def peak_of_share(self, *items):
        """Peak resident memory of a share, in KiB."""
        home = self.fresh()
        record = home / "peak"
        run([self.peak_memory, str(record), self.program, *items], headless_environment(home))
        peak = int(record.read_text())
        shutil.rmtree(home)
        return peak

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

    def first_frame(self, command, environment):
        """Milliseconds from the fork to the first frame in the program's window, and the
        program's CPU time by then."""
        for _ in range(5):  # Xvfb drops a new connection now and then: so may the program's
            output = subprocess.run([self.first_frame_watch, *command], env=environment,
                                    stdin=subprocess.DEVNULL, capture_output=True, text=True)
            if output.returncode != 3:
                break
        if output.returncode != 0:
            sys.exit(f"no first frame from {command[0]}: {output.stderr.strip()}")
        _, frame, cpu = map(float, output.stdout.split())
        return frame, cpu

    def card_frame(self):
        """plumo-share from its start, the card module's loading included, as a user starts it."""
        home = self.fresh()
        environment = dict(headless_environment(home), DISPLAY=os.environ["DISPLAY"], GTK_A11Y="none")
        elapsed = self.first_frame([self.program, "--text", "a text"], environment)
        shutil.rmtree(home)
        return elapsed

    def bare_frame(self, renderer):
        """The bare GTK window; with the card's renderer, or GTK's defaults (GL) when None."""
        home = self.fresh()
        environment = dict(headless_environment(home), DISPLAY=os.environ["DISPLAY"], GTK_A11Y="none")
        if renderer:
            environment.update(GSK_RENDERER=renderer, GDK_DEBUG="gl-disable", GDK_DISABLE="gl")
        elapsed = self.first_frame([self.bare_window], environment)
        shutil.rmtree(home)
        return elapsed


def first_frames(build, runs):
    """Under a display: the card's first frame and the bare window's, interleaved, as JSON."""
    scratch = Path(tempfile.mkdtemp(prefix="plumo-bench-", dir=build))
    try:
        bench = Bench(build, scratch, sources=0)
        samples = {"card": [], "bare": [], "bare_gl": []}
        for index in range(runs):
            pair = [("card", bench.card_frame), ("bare", lambda: bench.bare_frame("cairo"))]
            for name, measure in pair if index % 2 == 0 else reversed(pair):
                samples[name].append(measure())
            samples["bare_gl"].append(bench.bare_frame(None))
        print(json.dumps(samples))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def first_frame_rows(build, runs):
    """The card's rows, measured in a virtual X server of their own; None without one."""
    if not shutil.which("xvfb-run"):
        return None
    output = subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", sys.executable, __file__,
                             "--first-frames", str(build), str(runs)], capture_output=True, text=True)
    if output.returncode != 0:
        sys.exit(f"first frames: {output.stderr.strip()}")
    return json.loads(output.stdout.splitlines()[-1])


def print_fixed_costs(bench):
    """What a text share costs beyond its floor (the floor's text publish, then the hand-off)."""
    share = bench.fixed_cost(lambda home: [bench.program, "--text", "a text"])
    floor = [bench.fixed_cost(lambda home: [bench.floor_program, str(home / "store"), "--text", "a text"]),
             bench.fixed_cost(lambda home: HAND_OFF)]
    for column, name in enumerate(["instructions", "system calls"]):
        ours, theirs = share[column], [cost[column] for cost in floor]
        if ours is None:
            print(f"{'  ' + name + ', text share vs floor + gio open':<44}{'no tool':>12}")
            continue
        print(f"{'  ' + name + ', text share vs floor + gio open':<44}{ours:>12,}{sum(theirs):>12,}"
              f"{ours / sum(theirs):>7.2f}x   (floor {theirs[0]:,})")


def main():
    if sys.argv[1] == "--first-frames":
        return first_frames(Path(sys.argv[2]).resolve(), int(sys.argv[3]))
    build = Path(sys.argv[1]).resolve()
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    scratch = Path(tempfile.mkdtemp(prefix="plumo-bench-", dir=build))
    try:
        bench = Bench(build, scratch)
        one, four = bench.sources[:1], bench.sources
        image = str(bench.image)
        rows = [
            Row("a text", 1.10, lambda: bench.share("--text", "a text"),
                lambda: bench.floor("--text", "a text", hand_off=True), cpu_goal=1.10),
            Row("one 12 MiB file", 1.25, lambda: bench.share(str(one[0])), lambda: bench.floor(str(one[0]))),
            Row("four 12 MiB files", 1.05, lambda: bench.share(*map(str, four)),
                lambda: bench.floor(*map(str, four))),
            Row("native host, 10 MiB image", 4.0, lambda: bench.native_host_request(bench.image_request),
                lambda: bench.floor(image)),
            Row("native host, a text", 1.10, lambda: bench.native_host_request(bench.text_request),
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
        print(f"{'share':<44}{'plumo-share':>12}{'baseline':>12}{'ratio':>8}{'goal':>8}{'CPU ratio':>11}{'goal':>8}")
        baselines = ["floor + gio open", "floor", "floor", "floor", "plumo-share --no-ui"]
        for row, baseline in zip(rows, baselines):
            measured, base = statistics.median(row.samples), statistics.median(row.baseline_samples)
            ratio = measured / base
            cpu = statistics.median(row.cpu) / statistics.median(row.baseline_cpu)
            missed = ratio > row.goal or (row.cpu_goal is not None and cpu > row.cpu_goal)
            cpu_goal = f"{row.cpu_goal:>7.2f}x" if row.cpu_goal is not None else f"{'':>8}"
            print(f"{row.name + ' vs ' + baseline:<44}{measured * 1e3:>10.1f}ms{base * 1e3:>10.1f}ms"
                  f"{ratio:>7.2f}x{row.goal:>7.2f}x{cpu:>10.2f}x{cpu_goal}{'  missed' if missed else ''}")
        extra = (statistics.median(file_peaks) - statistics.median(text_peaks)) / 1024
        print(f"{'peak memory, 12 MiB file vs text':<44}{statistics.median(file_peaks) / 1024:>9.1f}MiB"
              f"{statistics.median(text_peaks) / 1024:>9.1f}MiB{extra:>+6.2f}MiB{'+1MiB':>6}"
              f"{'' if extra <= 1 else '  missed'}")
        print_fixed_costs(bench)
        frames = first_frame_rows(build, runs)
        if frames is None:
            print(f"{'card first frame vs bare GTK window':<44}{'no Xvfb':>12}")
        else:
            def median(name, column):
                return statistics.median(sample[column] for sample in frames[name])
            card, bare = median("card", 0), median("bare", 0)
            ratio, cpu = card / bare, median("card", 1) / median("bare", 1)
            print(f"{'card first frame vs bare GTK window (cairo)':<44}{card:>10.1f}ms{bare:>10.1f}ms"
                  f"{ratio:>7.2f}x{1.10:>7.2f}x{cpu:>10.2f}x{'':>8}{'' if ratio <= 1.10 else '  missed'}")
            print(f"{'  bare GTK window with GTK defaults (GL)':<44}{'':>12}{median('bare_gl', 0):>10.1f}ms")
        ours = bench.libraries([bench.program, "--text", "a text"])
        theirs = bench.libraries(HAND_OFF)
        print(f"{'libraries a headless text share maps':<44}{len(ours):>12}{len(theirs):>12}   (gio open)")
        toolkit = [name for name in ours if re.search(r"gtk|gdk|cairo|pango|X11|xcb|wayland", name)]
        if toolkit:
            print("  desktop toolkit mapped headless: " + " ".join(toolkit))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
