#!/usr/bin/python3
"""Benchmarks of the whole program, run by hand (never by the test command).

  orvanta_bench.py compare [options]   cost of watching one camera (or --cameras N), side by side
  orvanta_bench.py soak [options]      a long run: memory, threads, descriptors
  orvanta_bench.py backlog [options]   a Drive outage with steady motion, then the catching up
  orvanta_bench.py slowlink [options]  Drive behind a slow link: memory over time

Both start their own X server (Xvfb) with a small window manager (openbox),
the test camera (scripts/test_camera.py) and, unless --no-drive, the tests'
fake provider (tests/fakes/provider.py) that the program connects Drive to.
The program runs as a process of its own (orvanta_test_app, between the tests'
private buses); every figure is read from outside through /proc.
"""

import argparse
import contextlib
import math
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"
TICK = os.sysconf("SC_CLK_TCK")
MIB = 1024.0


class BenchError(Exception):
    pass


def wait_for(what, deadline_s, check, step=0.1):
    """Polls check() until it returns something true; one deadline for all."""
    deadline = time.monotonic() + deadline_s
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise BenchError(f"timed out after {deadline_s:.0f} s waiting for {what}")
        time.sleep(step)


# ---- /proc ---------------------------------------------------------------

def cpu_seconds(pid):
    """utime + stime of every thread of the process."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def thread_cpu(pid):
    """utime + stime of each living thread, by thread id."""
    times = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            times[int(tid)] = cpu_seconds(f"{pid}/task/{tid}")
        except OSError:  # ended meanwhile
            pass
    return times


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def idle_seconds():
    """Idle time of the whole machine, all cores together."""
    with open("/proc/stat") as stat:
        return int(stat.readline().split()[4]) / TICK


def entries(pid, folder):
    return len(os.listdir(f"/proc/{pid}/{folder}"))


def libraries(pid):
    """Shared libraries mapped by the process (distinct files)."""
    found = set()
    with open(f"/proc/{pid}/maps") as maps:
        for line in maps:
            parts = line.split(None, 5)
            if len(parts) == 6 and re.search(r"\.so(\.[0-9]+)*$", parts[5].strip()):
                found.add(parts[5].strip())
    return len(found)


def parent_of(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return int(stat.read().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return -1


def descendant_running(root, executable):
    """The process below root that runs executable (the program under the buses)."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            if os.path.realpath(f"/proc/{name}/exe") != executable:
                continue
        except OSError:
            continue
        pid = int(name)
        up = pid
        while up > 1:
            up = parent_of(up)
            if up == root:
                return pid
    return None


# ---- processes -----------------------------------------------------------

class Processes:
    """Child processes, each in its own process group, stopped in reverse order."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.started = []

    def start(self, name, argv, stdin=subprocess.DEVNULL, stdout=None, env=None):
        out = stdout if stdout is not None else open(os.path.join(self.workdir, name + ".out"), "w")
        err = open(os.path.join(self.workdir, name + ".err"), "w")
        proc = subprocess.Popen(argv, stdin=stdin, stdout=out, stderr=err, env=env,
                                start_new_session=True)
        self.started.append((name, proc))
        return proc

    def start_ready(self, name, argv, prefix, timeout=20, env=None):
        """Starts a helper that prints one "PREFIX value" line once it serves."""
        # The provider serves until its standard input ends: keep it open.
        proc = self.start(name, argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        ready, _, _ = select.select([proc.stdout], [], [], timeout)
        line = proc.stdout.readline().decode().strip() if ready else ""
        if not line.startswith(prefix + " "):
            raise BenchError(f"{name} did not come up (see {self.workdir}/{name}.err)")
        return proc, line.split(" ", 1)[1]

    def stop(self, proc, grace=10):
        if proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(grace)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        self.started = [(n, p) for n, p in self.started if p is not proc]

    def stop_all(self):
        for _, proc in reversed(list(self.started)):
            self.stop(proc)


def start_display(procs, tries=3):
    """Xvfb on a free display, with openbox so that windows can be minimised.
    The first GTK client of a display probes GLX and so maps Mesa (23 more
    libraries, about 50 MiB); later ones find the answer on the root window."""
    for number in range(50, 100):
        if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
            continue
        # -noreset: a server that resets when its last client leaves (the
        # probe below) refuses the window manager that connects meanwhile.
        xvfb = procs.start("xvfb", ["Xvfb", f":{number}", "-screen", "0", "1920x1080x24", "-nolisten", "tcp",
                                    "-noreset"])
        os.environ["DISPLAY"] = f":{number}"
        if wait_for("the X server", 20, lambda: xvfb.poll() is not None or subprocess.run(
                ["xprop", "-root"], capture_output=True).returncode == 0) and xvfb.poll() is None:
            break
        procs.stop(xvfb)  # another server took the display first
    else:
        raise BenchError("no free X display")
    openbox = procs.start("openbox", ["openbox", "--sm-disable"])
    managed = wait_for("the window manager", 30, lambda: openbox.poll() is not None or "window id" in subprocess.run(
        ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], capture_output=True, text=True).stdout)
    if managed and openbox.poll() is None:
        return [xvfb, openbox]
    # Another server may have taken the display meanwhile.
    procs.stop(openbox), procs.stop(xvfb)
    if tries == 1:
        raise BenchError(f"openbox ended (see {procs.workdir}/openbox.err)")
    return start_display(procs, tries - 1)


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.split()


def window_of(pid, what):
    found = wait_for(f"the window of {what}", 30,
                     lambda: xdotool("search", "--onlyvisible", "--pid", str(pid)))
    return found[-1]


def minimise(window):
    subprocess.run(["xdotool", "windowminimize", "--sync", window], check=True, timeout=20)
    state = subprocess.run(["xprop", "-id", window, "WM_STATE"], capture_output=True, text=True)
    if "Iconic" not in state.stdout:
        raise BenchError("the window did not become iconic")


# ---- the program and its peers -------------------------------------------

class Provider:
    def __init__(self, procs):
        _, self.url = procs.start_ready("provider", [PYTHON, os.path.join(ROOT, "tests/fakes/provider.py")],
                                        "READY")

    def uploads(self):
        with urllib.request.urlopen(self.url + "/control/count?endpoint=upload", timeout=10) as answer:
            return int(answer.read().decode().strip() or 0)

    def control(self, path):
        with urllib.request.urlopen(urllib.request.Request(self.url + "/control/" + path, b""), timeout=10):
            pass


def settings_text(camera_urls, folder):
    """Orvanta.conf for the cameras: the first at today's keys, the others as
    [Cameras/N] with their names."""
    text = f"[Stream]\nRtspUrl={camera_urls[0]}\n"
    for number, url in enumerate(camera_urls[1:], 2):
        text += f"[Cameras/{number}]\nRtspUrl={url}\nName=Camera {number}\n"
    return text + f"[Pictures]\nFolder={folder}\n"


class Program:
    """The real program as orvanta_test_app, watching the cameras at
    camera_urls (one URL or a list), Drive connected to the provider when
    there is one."""

    def __init__(self, procs, app, camera_urls, provider, name="program"):
        self.procs, self.name, self.provider = procs, name, provider
        camera_urls = [camera_urls] if isinstance(camera_urls, str) else camera_urls
        home = tempfile.mkdtemp(prefix=name + "-", dir=procs.workdir)
        self.pending = os.path.join(home, "Orvanta", "pending")
        with open(os.path.join(home, "Orvanta.conf"), "w") as conf:
            conf.write(settings_text(camera_urls, f"{home}/Orvanta"))
        env = dict(os.environ, XDG_CONFIG_HOME=home, HOME=home, LC_ALL="C.UTF-8")
        argv = [app] + ([f"--provider={provider.url}"] if provider else [])
        self.output = os.path.join(procs.workdir, name + ".out")
        self.proc = procs.start(name, [PYTHON, os.path.join(ROOT, "tests/fakes/buses.py"), "--logind",
                                       "--gnome-sm", "--keyring", "--", *argv],
                                stdin=subprocess.PIPE, env=env)
        self.pid = wait_for("the program's process", 30,
                            lambda: descendant_running(self.proc.pid, os.path.realpath(app)))

    def waiting(self):
        """Pictures waiting for Drive, on disk."""
        with contextlib.suppress(OSError):
            return len(os.listdir(self.pending))
        return 0

    def said(self, text):
        with open(self.output, errors="replace") as out:
            return text in out.read()

    def command(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def ready(self):
        """Streaming, and with a provider, uploading."""
        # With several cameras the line carries the camera's name first.
        wait_for("frames in the program", 60, lambda: self.said("Receiving frames: "))
        if self.provider:
            before = self.provider.uploads()
            self.command("connect")
            wait_for("Drive access", 60, lambda: self.said("Connected to Google Drive"))
            wait_for("an upload", 60, lambda: self.provider.uploads() > before)

    def exit(self, timeout=40):
        """Exit through the menu; returns the program's exit code."""
        self.command("exit")
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.procs.stop(self.proc)
            return None


def viewer_size(window, width, height):
    """The preview's size: the window's width less its borders, at the picture's aspect."""
    geometry = subprocess.run(["xdotool", "getwindowgeometry", window], capture_output=True,
                              text=True).stdout
    window_width = int(re.search(r"Geometry: (\d+)x", geometry).group(1))
    preview_width = window_width - 32
    return preview_width, round(preview_width * height / width / 2) * 2


def motion_config(path, urls, width, height, fps):
    """Detection at 10 per second on every picture each camera sends, Debian's
    stock detection settings, every output off; one camera file per camera."""
    folder = os.path.dirname(path)
    with open(path, "w") as conf:
        conf.write(f"""daemon off
setup_mode off
log_file {folder}/motion.log
log_level 6
target_dir {folder}
width {width}
height {height}
framerate 10
text_left CAMERA1
text_right %Y-%m-%d\\n%T-%q
threshold 1500
despeckle_filter EedDl
minimum_motion_frames 1
event_gap 60
pre_capture 3
post_capture 0
picture_output off
movie_output off
snapshot_interval 0
timelapse_interval 0
webcontrol_port 0
stream_port 0
""")
        for number, url in enumerate(urls, 1):
            camera = os.path.join(folder, f"motion-camera{number}.conf")
            with open(camera, "w") as camera_conf:
                camera_conf.write(f"camera_id {number}\nnetcam_url {url}\n"
                                  f"netcam_params rtsp_transport=tcp, capture_rate={fps}\n")
            conf.write(f"camera {camera}\n")


def progress_frames(path):
    """The last frame count ffmpeg wrote to its -progress file."""
    with contextlib.suppress(OSError):
        with open(path) as progress:
            counts = re.findall(r"^frame=(\d+)", progress.read(), re.M)
            if counts:
                return int(counts[-1])
    return 0


def ffmpeg(url, progress, threads=None, copy=False):
    argv = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-stats_period", "0.1"]
    argv += ["-threads", str(threads)] if threads else []
    argv += ["-rtsp_transport", "tcp", "-i", url, "-map", "0:v"]
    argv += ["-c", "copy"] if copy else []
    return argv + ["-f", "null", "-progress", progress, "-"]


class Reader:
    """One reader of the cameras and the processes whose cost is measured
    (one, or one per camera), added up."""

    def __init__(self, name, pids, stop, program=None):
        self.name, self.stop, self.program = name, stop, program
        self.pids = pids if isinstance(pids, list) else [pids]
        self.rss = []

    def mark(self):
        self.cpu0 = sum(cpu_seconds(pid) for pid in self.pids)
        self.threads0 = thread_cpu(self.pids[0]) if self.program else {}

    def sample(self):
        self.rss.append(sum(status_kib(pid, "VmRSS") for pid in self.pids))

    def finish(self, wall, cameras=1):
        # The program's GUI thread (the preview) and its busiest other threads
        # that lived through the window, one per camera (the decoders:
        # decoding, detection, pictures); the rest is upload threads and the
        # toolkit's own.
        split = {}
        if self.program:
            pid = self.pids[0]
            spent = {tid: t - self.threads0[tid] for tid, t in thread_cpu(pid).items() if tid in self.threads0}
            gui = spent.pop(pid, 0.0)
            busiest = sorted(spent.values(), reverse=True)[:cameras]
            split = {"gui": gui / wall, "decoder": sum(busiest) / wall}
        return {**split, "name": self.name,
                "cpu": (sum(cpu_seconds(pid) for pid in self.pids) - self.cpu0) / wall,
                "rss": sum(self.rss) / max(1, len(self.rss)) / MIB,
                "hwm": sum(status_kib(pid, "VmHWM") for pid in self.pids) / MIB,
                "libs": libraries(self.pids[0]), "threads": sum(entries(pid, "task") for pid in self.pids)}


def start_reader(kind, procs, args, size, camera_urls, provider):
    width, height, fps = size
    work = procs.workdir
    if kind in ("visible", "minimised", "baseline"):
        app = args.baseline_app if kind == "baseline" else args.app
        if not app:
            raise BenchError("the baseline reader needs --baseline-app")
        program = Program(procs, app, camera_urls, provider, name=f"{kind}-{height}p")
        program.ready()
        window = window_of(program.pid, kind)
        args.viewer = args.viewer or viewer_size(window, width, height)
        if kind == "minimised":
            minimise(window)
        return Reader(kind, program.pid, lambda: program.exit(), program)
    if kind == "ffplay":
        # One viewer per camera, each the size of a tile of the program's grid.
        w, h = args.viewer or (1068, round(1068 * height / width / 2) * 2)
        columns = math.ceil(math.sqrt(len(camera_urls)))
        w, h = w // columns, round(w // columns * height / width / 2) * 2
        started = [procs.start(f"ffplay{number}-{height}p", [
            "ffplay", "-hide_banner", "-loglevel", "error", "-rtsp_transport", "tcp", "-an", "-x", str(w), "-y",
            str(h), "-window_title", f"viewer {number}", url]) for number, url in enumerate(camera_urls, 1)]
        for proc in started:
            window_of(proc.pid, "ffplay")
    elif kind == "motion":
        conf = os.path.join(work, "motion.conf")
        motion_config(conf, camera_urls, width, height, fps)
        started = [procs.start(f"motion-{height}p", ["motion", "-n", "-c", conf])]
        wait_for("Motion's connections", 60, lambda: os.path.exists(f"{work}/motion.log") and len(re.findall(
            r"netcam_rtsp_connect.*[Cc]onnected", open(f"{work}/motion.log", errors="replace").read()))
            >= len(camera_urls))
        os.rename(f"{work}/motion.log", f"{work}/motion-{height}p.log")
    else:
        started = []
        for number, url in enumerate(camera_urls, 1):
            progress = os.path.join(work, f"floor{number}-{height}p.progress")
            started.append(procs.start(f"floor{number}-{height}p", ffmpeg(url, progress, threads=1)))
            wait_for("decoded pictures", 60, lambda: progress_frames(progress) > 0)
    return Reader(kind, [proc.pid for proc in started], lambda: [procs.stop(proc) for proc in started])


# ---- compare -------------------------------------------------------------

KINDS = ("visible", "minimised", "ffplay", "motion", "floor", "baseline")
RATIOS = (("visible", "baseline"), ("visible", "ffplay"), ("visible", "motion"), ("visible", "floor"),
          ("minimised", "motion"), ("minimised", "floor"), ("minimised", "visible"),
          ("motion", "floor"), ("ffplay", "floor"))
# What watching should cost at most against its peers, and the program's peak
# resident memory with one camera.
AIMS = (("minimised", "motion", 0.8), ("minimised", "floor", 1.5), ("visible", "ffplay", 0.30))
PEAK_AIM_MIB = 150


def measure(readers, cameras, args, counters, provider):
    """One window over all readers: CPU-seconds per second, beside the cameras'
    own cost, the pictures the slowest camera delivered, the machine's idle
    share and the uploads."""
    time.sleep(args.warmup)
    uploads = provider.uploads if provider else lambda: 0
    frames0 = [progress_frames(counter) for counter in counters]
    idle0, uploads0 = idle_seconds(), uploads()
    start = time.monotonic()
    for reader in readers + [cameras]:
        reader.mark()
    while time.monotonic() - start < args.seconds:
        for reader in readers:
            reader.sample()
        time.sleep(1)
    wall = time.monotonic() - start
    fps = min(progress_frames(counter) - first for counter, first in zip(counters, frames0)) / wall
    shared = {"fps": fps, "camera": cameras.finish(wall)["cpu"],
              "idle": (idle_seconds() - idle0) / wall / os.cpu_count(), "uploads": uploads() - uploads0}
    return [dict(reader.finish(wall, len(counters)), **shared) for reader in readers]


def compare_size(procs, args, size, provider):
    width, height, fps = size
    cameras, urls, counters = [], [], []
    for number in range(1, args.cameras + 1):
        camera, url = procs.start_ready(f"camera{number}-{height}p", [
            PYTHON, os.path.join(ROOT, "scripts/test_camera.py"), "--width", str(width), "--height", str(height),
            "--fps", str(fps), "--scene", "moving"], "READY")
        # Counts the pictures the camera actually sends, nearly for free (no decoding).
        counter = os.path.join(procs.workdir, f"counter{number}-{height}p.progress")
        procs.start(f"counter{number}-{height}p", ffmpeg(url, counter, copy=True))
        wait_for("the camera's pictures", 30, lambda: progress_frames(counter) > 0)
        cameras.append(camera)
        urls.append(url)
        counters.append(counter)
    results = []
    groups = [args.readers] if args.together else [[kind] for kind in args.readers]
    for group in groups:
        # A display of its own for each group: every program measured alone is
        # the display's first GTK client, as the program is on a fresh login.
        display = start_display(procs)
        readers = [start_reader(kind, procs, args, size, urls, provider) for kind in group]
        print(f"  {width}x{height}@{fps}: measuring {', '.join(group)}", file=sys.stderr, flush=True)
        results += measure(readers, Reader("cameras", [camera.pid for camera in cameras], None), args,
                           counters, provider)
        for reader in readers:
            code = reader.stop()
            if reader.program and code != 0:
                args.problems.append(f"{reader.name} at {height}p: " + (
                    f"exit code {code} after Exit" if code is not None else "still running 40 s after Exit"))
        for proc in reversed(display):
            procs.stop(proc)
    return results


def print_comparison(label, results, fps, cameras):
    print(f"\n{label}")
    print(f"{'reader':<10} {'CPU-s/s':>8} {'RSS MiB':>8} {'peak MiB':>9} {'libs':>5} {'threads':>7}"
          f" {'cam fps':>8} {'cam CPU':>8} {'idle':>5} {'uploads':>7}")
    for r in results:
        print(f"{r['name']:<10} {r['cpu']:8.3f} {r['rss']:8.1f} {r['hwm']:9.1f} {r['libs']:5d} "
              f"{r['threads']:7d} {r['fps']:8.1f} {r['camera']:8.3f} {r['idle']:5.0%} {r['uploads']:7d}")
    for r in results:
        if r["fps"] < 0.95 * fps:
            print(f"note: while {r['name']} was measured a camera sent {r['fps']:.1f} of {fps} pictures "
                  "per second: the machine did not keep up, and the figures are for that rate")
    for r in results:
        if "gui" in r:
            print(f"{r['name']}: GUI thread {r['gui']:.3f}, decoder thread{'s' if cameras > 1 else ''} "
                  f"{r['decoder']:.3f}, all other threads {r['cpu'] - r['gui'] - r['decoder']:.3f} CPU-s/s")
    by_name = {r["name"]: r for r in results}
    ratios = [f"{a}/{b} {by_name[a]['cpu'] / by_name[b]['cpu']:.2f}" for a, b in RATIOS
              if a in by_name and b in by_name and by_name[b]["cpu"] > 0]
    print("CPU ratios: " + ", ".join(ratios))
    if "visible" in by_name and "motion" in by_name:
        print(f"peak memory visible/motion: {by_name['visible']['hwm'] / by_name['motion']['hwm']:.2f}")
    for a, b, most in AIMS:
        if a in by_name and b in by_name and by_name[b]["cpu"] > 0:
            ratio = by_name[a]["cpu"] / by_name[b]["cpu"]
            print(f"aim {a}/{b} <= {most:.2f}: {ratio:.3f}, {'met' if ratio <= most else 'missed'}")
    if cameras == 1:
        for name in ("visible", "minimised"):
            if name in by_name:
                peak = by_name[name]["hwm"]
                print(f"aim {name} peak memory <= {PEAK_AIM_MIB} MiB: {peak:.1f}, "
                      f"{'met' if peak <= PEAK_AIM_MIB else 'missed'}")


def run_compare(args, procs):
    provider = None if args.no_drive else Provider(procs)
    sizes = [tuple(int(v) for v in re.split("[x@]", size)) for size in args.sizes]
    for size in sizes:
        results = compare_size(procs, args, size, provider)
        label = f"{size[0]}x{size[1]} at {size[2]} fps" + (f", {args.cameras} cameras" if args.cameras > 1 else "")
        print_comparison(label, results, size[2], args.cameras)
        sys.stdout.flush()
        for name, proc in list(procs.started):
            if name.endswith(f"-{size[1]}p"):
                procs.stop(proc)
    return 0


# ---- soak ----------------------------------------------------------------

def slope_mib_per_hour(samples):
    n = len(samples)
    if n < 3:
        return 0.0
    mean_t = sum(s[0] for s in samples) / n
    mean_m = sum(s[2] for s in samples) / n
    variance = sum((s[0] - mean_t) ** 2 for s in samples)
    covariance = sum((s[0] - mean_t) * (s[2] - mean_m) for s in samples)
    return covariance / variance * 3600 if variance else 0.0


def run_soak(args, procs):
    start_display(procs)
    width, height, fps = (int(v) for v in re.split("[x@]", args.size))
    provider = None if args.no_drive else Provider(procs)
    _, url = procs.start_ready("camera", [PYTHON, os.path.join(ROOT, "scripts/test_camera.py"), "--width",
                                          str(width), "--height", str(height), "--fps", str(fps)], "READY")
    program = Program(procs, args.app, url, provider)
    program.ready()
    pid = program.pid
    print(f"{'t s':>6} {'CPU-s/s':>8} {'RSS MiB':>8} {'peak MiB':>9} {'threads':>7} {'fds':>4} {'uploads':>7}")
    samples = []
    start = last_t = time.monotonic()
    last_cpu = cpu_seconds(pid)
    while last_t - start < args.minutes * 60:
        time.sleep(args.sample_seconds)
        if program.proc.poll() is not None:
            raise BenchError("the program ended during the run")
        now, cpu = time.monotonic(), cpu_seconds(pid)
        sample = (now - start, (cpu - last_cpu) / (now - last_t), status_kib(pid, "VmRSS") / MIB,
                  status_kib(pid, "VmHWM") / MIB, entries(pid, "task"), entries(pid, "fd"),
                  provider.uploads() if provider else 0)
        samples.append(sample)
        last_t, last_cpu = now, cpu
        print("{:6.0f} {:8.3f} {:8.1f} {:9.1f} {:7d} {:4d} {:7d}".format(*sample), flush=True)
    if not samples:
        raise BenchError("the run was shorter than one sample")
    # The first quarter is warm-up: caches, pools and the first uploads settle.
    settled = samples[len(samples) // 4:]
    first, last = settled[0], samples[-1]
    # Upload threads come and go: a leak shows as a floor that rises.
    head, tail = settled[:max(1, len(settled) // 3)], settled[-max(1, len(settled) // 3):]
    code = program.exit()
    print(f"\nRSS slope over the last {(last[0] - first[0]) / 60:.1f} min: "
          f"{slope_mib_per_hour(settled):+.1f} MiB/h; RSS {first[2]:.1f} -> {last[2]:.1f} MiB "
          f"(range {min(s[2] for s in settled):.1f}-{max(s[2] for s in settled):.1f}), "
          f"peak {last[3]:.1f} MiB")
    print(f"fewest threads {min(s[4] for s in head)} -> {min(s[4] for s in tail)}, fewest descriptors "
          f"{min(s[5] for s in head)} -> {min(s[5] for s in tail)} (first and last third); "
          f"mean CPU {sum(s[1] for s in samples) / len(samples):.3f} CPU-s/s; "
          f"uploads {last[6]}; exit code after Exit: {code}")
    return 0 if code == 0 else 1


def start_watching(procs, args):
    """A display, the provider, the moving test camera and the program, connected."""
    start_display(procs)
    width, height, fps = (int(v) for v in re.split("[x@]", args.size))
    provider = Provider(procs)
    _, url = procs.start_ready("camera", [PYTHON, os.path.join(ROOT, "scripts/test_camera.py"), "--width",
                                          str(width), "--height", str(height), "--fps", str(fps),
                                          "--scene", "moving"], "READY")
    program = Program(procs, args.app, url, provider)
    program.ready()
    return provider, program


def run_backlog(args, procs):
    """Drive answers 503 for --minutes while motion goes on; then the time the
    program takes to deliver what waits (new pictures keep coming at one a
    second) and its CPU meanwhile."""
    provider, program = start_watching(procs, args)
    provider.control(f"outage?seconds={args.minutes * 60}")
    time.sleep(args.minutes * 60)
    waiting, uploads0 = program.waiting(), provider.uploads()
    cpu0, start = cpu_seconds(program.pid), time.monotonic()
    wait_for("the backlog to drain", 3600, lambda: program.waiting() <= 1, step=0.5)
    wall = time.monotonic() - start
    print(f"outage {args.minutes:g} min: {waiting} pictures waiting at its end; drained in {wall:.1f} s "
          f"({provider.uploads() - uploads0} uploads, {(provider.uploads() - uploads0) / wall:.2f}/s), "
          f"program CPU {(cpu_seconds(program.pid) - cpu0) / wall:.3f} CPU-s/s, "
          f"RSS {status_kib(program.pid, 'VmRSS') / MIB:.1f} MiB")
    return 0 if program.exit() == 0 else 1


def run_slowlink(args, procs):
    """Drive read at --bytes-per-second for --minutes while motion goes on:
    resident memory after one minute and at the end."""
    provider, program = start_watching(procs, args)
    provider.control(f"throttle?bytes_per_second={args.bytes_per_second}")
    start = time.monotonic()
    samples = []
    while time.monotonic() - start < args.minutes * 60:
        time.sleep(args.sample_seconds)
        samples.append((time.monotonic() - start, status_kib(program.pid, "VmRSS") / MIB,
                        entries(program.pid, "task"), program.waiting()))
        print("{:6.0f} s  RSS {:6.1f} MiB  threads {:3d}  waiting {:4d}".format(*samples[-1]), flush=True)
    at_one = min(samples, key=lambda sample: abs(sample[0] - 60))
    print(f"\nRSS at {at_one[0]:.0f} s {at_one[1]:.1f} MiB, at {samples[-1][0]:.0f} s {samples[-1][1]:.1f} MiB: "
          f"ratio {samples[-1][1] / at_one[1]:.3f}; threads {at_one[2]} -> {samples[-1][2]}; "
          f"pictures waiting {samples[-1][3]}")
    provider.control("throttle?bytes_per_second=0")
    return 0 if program.exit() == 0 else 1


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--app", default=os.path.join(ROOT, "build/bin/orvanta_test_app"),
                        help="the test app executable (default: build/bin/orvanta_test_app)")
    parser.add_argument("--no-drive", action="store_true", help="no provider, no uploads")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (logs)")
    sub = parser.add_subparsers(dest="command", required=True)
    compare = sub.add_parser("compare", help="CPU and memory of the program against its peers")
    compare.add_argument("--sizes", nargs="+", default=["1920x1080@25", "3840x2160@30"])
    compare.add_argument("--seconds", type=float, default=30, help="measured window per reader")
    compare.add_argument("--warmup", type=float, default=10, help="seconds before each window")
    compare.add_argument("--readers", nargs="+", choices=KINDS,
                         default=[kind for kind in KINDS if kind != "baseline"])
    compare.add_argument("--together", action="store_true",
                         help="all readers at once in one window (default: one after another)")
    compare.add_argument("--baseline-app", help="another orvanta_test_app, measured as 'baseline'")
    compare.add_argument("--cameras", type=int, default=1, choices=range(1, 10), metavar="N",
                         help="N test cameras of the same size, all watched by every reader (default 1)")
    backlog = sub.add_parser("backlog", help="catching up after a Drive outage")
    backlog.add_argument("--minutes", type=float, default=10, help="length of the outage")
    backlog.add_argument("--size", default="1920x1080@25")
    slowlink = sub.add_parser("slowlink", help="memory while Drive sits behind a slow link")
    slowlink.add_argument("--minutes", type=float, default=10)
    slowlink.add_argument("--size", default="1920x1080@25")
    slowlink.add_argument("--bytes-per-second", type=int, default=50000)
    slowlink.add_argument("--sample-seconds", type=float, default=15)
    soak = sub.add_parser("soak", help="one long run of the program, sampled")
    soak.add_argument("--minutes", type=float, default=60)
    soak.add_argument("--size", default="1920x1080@25")
    soak.add_argument("--sample-seconds", type=float, default=10)
    args = parser.parse_args(argv)
    args.viewer, args.problems = None, []
    args.baseline_app = getattr(args, "baseline_app", None)
    if not os.access(args.app, os.X_OK):
        parser.error(f"{args.app} is not built (cmake --build build --target orvanta_test_app)")
    workdir = tempfile.mkdtemp(prefix="orvanta-bench-")
    procs = Processes(workdir)
    code = 1
    try:
        code = {"compare": run_compare, "soak": run_soak, "backlog": run_backlog,
                "slowlink": run_slowlink}[args.command](args, procs)
        for problem in args.problems:
            print(f"bench: {problem}", file=sys.stderr)
        code = code or int(bool(args.problems))
    except BenchError as error:
        print(f"bench: {error}", file=sys.stderr)
    finally:
        procs.stop_all()
        if args.keep or code:
            print(f"logs: {workdir}", file=sys.stderr)
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
