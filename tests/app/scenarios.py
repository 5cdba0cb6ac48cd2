#!/usr/bin/python3
"""The program's real start-up and exit (orvanta_test_app) as a process beside the test camera
and the provider stand-in, on private buses with a logind mock, a keyring and a notification server:

  tests/fakes/buses.py --logind --keyring --notifications -- \
      /usr/bin/python3 scenarios.py ORVANTA_TEST_APP [Scenarios|CameraScenarios|MinimisedScenarios]
"""
import hashlib, io, json, os, re, select, shutil, signal, subprocess, sys, tempfile, threading, time, unittest  # noqa: E401,E501
import urllib.request

import dbus

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
APP = sys.argv.pop(1) if len(sys.argv) > 1 else ""
WOKE = "[Status] Woke from sleep \u2014 reconnecting..."
REFUSED = "rtsp://127.0.0.1:9/door"  # nothing listens on the discard port


def control(base, path):
    post = not path.startswith(("/control/count", "/control/report"))
    with urllib.request.urlopen(urllib.request.Request(base + path, b"" if post else None), timeout=10) as reply:
        return reply.read().decode()


def logind():
    bus = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
    return dbus.Interface(bus.get_object("org.freedesktop.login1", "/org/freedesktop/login1"),
                          "org.freedesktop.DBus.Mock")


def inhibitions():
    return sum(call[1] == "Inhibit" for call in logind().GetCalls())


def idle_locks():
    bus = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
    manager = bus.get_object("org.freedesktop.login1", "/org/freedesktop/login1")
    return [lock for lock in manager.ListInhibitors(dbus_interface="org.freedesktop.login1.Manager")
            if lock[0] == "idle"]


def notifications():
    """(seconds since the epoch, summary, replaces_id) of every notification shown."""
    bus = dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])
    server = dbus.Interface(bus.get_object("org.freedesktop.Notifications", "/org/freedesktop/Notifications"),
                            "org.freedesktop.DBus.Mock")
    return [(float(when), str(args[3]), int(args[1])) for when, args in server.GetMethodCalls("Notify")]


class App:
    """One orvanta_test_app with its standard output gathered as (time, line)."""

    def __init__(self, test, provider=None, prefix=()):
        self.test, self.lines = test, []
        self.proc = subprocess.Popen([*prefix, APP] + ([f"--provider={provider}"] if provider else []),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     env=dict(os.environ, HOME=test.home, XDG_CONFIG_HOME=test.home,
                                              NO_AT_BRIDGE="1"))
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        test.addCleanup(self.stop)

    def stop(self):
        self.proc.kill()
        self.proc.wait(10)
        self.reader.join(10)
        self.proc.stdin.close()
        self.proc.stdout.close()

    def read(self):
        for line in self.proc.stdout:
            self.lines.append((time.monotonic(), line.rstrip("\n")))

    def find(self, prefix, start=0):
        return next((i for i, (_, line) in enumerate(self.lines[start:], start) if line.startswith(prefix)), None)

    def wait_for(self, prefix, timeout=30, start=0):
        deadline = time.monotonic() + timeout
        while (found := self.find(prefix, start)) is None and time.monotonic() < deadline:
            time.sleep(0.05)
        self.test.assertIsNotNone(found, f"no {prefix!r} in:\n" + "\n".join(line for _, line in self.lines))
        return found

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def exit(self):
        self.send("exit")
        return self.proc.wait(timeout=30)


class Scenario(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.home)
        self.config_file = os.path.join(self.home, "Orvanta.conf")
        with open(self.config_file, "w") as config:  # as the program leaves it
            config.write("[Analytics]\nClientId=ace.5\n[Stream]\nRtspUrl=%s\n" % REFUSED)

    def start(self, script, *args):
        """A helper that prints one line "READY URL"; stopped at the end of the test."""
        proc = subprocess.Popen(["/usr/bin/python3", os.path.join(ROOT, script), *args], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, start_new_session=True)
        self.addCleanup(lambda: (proc.terminate(), proc.wait(10), proc.stdin.close(), proc.stdout.close()))
        words = proc.stdout.readline().split() if select.select([proc.stdout], [], [], 30)[0] else []
        self.assertEqual(words[:1], ["READY"], script)
        return proc, words[1]

    def store_url(self, url, more=""):
        with open(self.config_file, "w") as config:
            config.write("[Stream]\nRtspUrl=%s\n%s[Pictures]\nFolder=%s\n" % (url, more, self.pictures))

    @property
    def pictures(self):
        return os.path.join(self.home, "Orvanta")


class Scenarios(Scenario):
    def test_pictures_outlive_an_outage_and_a_restart_and_reach_drive_once(self):
        from PIL import Image
        _, provider = self.start("tests/fakes/provider.py")
        camera, url = self.start("scripts/test_camera.py")
        self.store_url(url)
        app = App(self, provider)
        app.send("connect")
        app.wait_for("[Status] Connected to Google Drive")
        app.wait_for("[Pictures] Saved ")
        control(provider, "/control/outage?seconds=8")  # Drive answers 503 to everything
        time.sleep(3)
        app.proc.send_signal(signal.SIGTERM)  # as at logout
        self.assertEqual(app.proc.wait(10), 0)
        saved = [line for _, line in app.lines if line.startswith("[Pictures] Saved ")]
        control(provider, "/control/script?endpoint=upload&action=store_then_hang")  # the first after the outage
        app = App(self, provider)
        app.wait_for("[Pictures] Saved ")
        time.sleep(2)
        os.killpg(camera.pid, signal.SIGTERM)  # no motion from here on
        pending = os.path.join(self.pictures, "pending")
        deadline = time.monotonic() + 60
        while os.listdir(pending) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(os.listdir(pending), [], "pictures still waiting")
        self.assertEqual(app.exit(), 0)
        saved += [line for _, line in app.lines if line.startswith("[Pictures] Saved ")]
        names = [line.split()[-1] for line in saved]
        self.assertGreater(len(names), 2)
        kept = {}
        for name in names:
            with open(os.path.join(self.pictures, name), "rb") as picture:
                kept[name] = picture.read()
        drive = json.loads(control(provider, "/control/files"))
        in_drive = [f["md5Checksum"] for f in drive]
        self.assertEqual(sorted(in_drive), sorted(hashlib.md5(jpeg).hexdigest() for jpeg in kept.values()),
                         "each kept picture once in Drive, byte for byte")
        folders = json.loads(control(provider, "/control/folders"))
        self.assertEqual(len(folders), 1)
        self.assertEqual({tuple(f["parents"]) for f in drive}, {(folders[0]["id"],)})
        self.assertTrue(any("\u2014 OK, already stored" in line for _, line in app.lines),
                        "the upload stored but answered too late was looked up, not sent again")
        self.assertEqual(sorted(f["name"] for f in drive), sorted(re.sub(r"^(motion_\d{8}_\d{6})(_\d+)?\.jpg$", r"\1.jpg", n) for n in names))
        reference = io.BytesIO()
        Image.new("RGB", (16, 16)).save(reference, "JPEG", quality=85)
        tables = Image.open(reference).quantization
        for jpeg in list(kept.values())[:3]:
            self.assertEqual(Image.open(io.BytesIO(jpeg)).quantization, tables, "quality 85")

    def test_every_picture_announced_as_uploading_reaches_drive_once_wherever_it_could_be_kept(self):
        umask = os.umask(0)
        os.umask(umask)
        for chosen in (None, os.path.join(self.home, "unmounted", "Orvanta")):
            with self.subTest(folder=chosen or "the default, in a home without Pictures"):
                _, provider = self.start("tests/fakes/provider.py")
                camera, url = self.start("scripts/test_camera.py")
                with open(self.config_file, "w") as config:
                    config.write("[Stream]\nRtspUrl=%s\n" % url + ("[Pictures]\nFolder=%s\n" % chosen if chosen else ""))
                app = App(self, provider)
                app.send("connect")
                app.wait_for("[Status] Connected to Google Drive")
                app.wait_for("[Status] Uploading to Google Drive: ")
                time.sleep(3)  # a few pictures of motion
                os.killpg(camera.pid, signal.SIGTERM)
                camera.wait(10)
                announced = lambda: sorted(line.split(": ", 1)[1] for _, line in app.lines  # noqa: E731
                                           if line.startswith("[Status] Uploading to Google Drive: "))
                in_drive = lambda: sorted(f["name"] for f in json.loads(control(provider, "/control/files")))  # noqa: E731,E501
                deadline = time.monotonic() + 30
                while in_drive() != announced() and time.monotonic() < deadline:
                    time.sleep(0.2)
                self.assertEqual(app.exit(), 0)
                self.assertGreater(len(announced()), 1)
                self.assertEqual(in_drive(), announced(), "each announced picture once in Drive, and no other")
                if chosen:
                    self.assertFalse(os.path.exists(os.path.dirname(chosen)), "a chosen folder's parent is never made")
                    self.assertEqual(sum(": they go to Google Drive only" in line for _, line in app.lines), 1)
                    continue
                pictures = os.path.join(self.home, "Pictures")
                self.assertEqual(os.stat(pictures).st_mode & 0o777, 0o755 & ~umask, "made as the desktop makes it")
                self.assertEqual(os.stat(os.path.join(pictures, "Orvanta")).st_mode & 0o777, 0o700)
                kept = {re.sub(r"^(motion_\d{8}_\d{6})(_\d+)?\.jpg$", r"\1.jpg", name)
                        for name in os.listdir(os.path.join(pictures, "Orvanta"))}
                self.assertLessEqual(set(announced()), kept)

    def test_frozen_camera_ends_the_stream_and_the_window_still_answers(self):
        camera, url = self.start("scripts/test_camera.py")
        self.store_url(url)
        app = App(self)
        app.wait_for("[Status] Receiving frames: ")
        os.killpg(camera.pid, signal.SIGSTOP)
        self.addCleanup(os.killpg, camera.pid, signal.SIGCONT)
        frozen = len(app.lines)
        app.send("disconnect")  # answered while the decoder thread still waits for the camera
        app.wait_for("[Status] Disconnected from Google Drive.", 4, frozen)
        app.wait_for("[Status] Stream read stopped: ", 30, frozen)
        app.send("settings " + REFUSED)
        app.wait_for("[Status] Connecting to RTSP stream...", 10, frozen)
        self.assertEqual(app.exit(), 0)

    def test_wake_restarts_the_stream_five_seconds_later(self):
        app = App(self)
        app.wait_for("[Status] Unable to open stream: ")
        logind().EmitSignal("org.freedesktop.login1.Manager", "PrepareForSleep", "b", [False])
        woke = app.wait_for(WOKE, 10)
        again = app.wait_for("[Status] Connecting to RTSP stream...", 15, woke)
        self.assertGreaterEqual(app.lines[again][0] - app.lines[woke][0], 4.5)
        self.assertEqual(app.exit(), 0)

    def test_wake_then_close_while_app_close_waits_starts_no_stream(self):
        _, provider = self.start("tests/fakes/provider.py")
        app = App(self, provider)
        app.wait_for("[Status] Unable to open stream: ")
        app.wait_for("[Analytics] Event 'app_open'")
        control(provider, "/control/script?endpoint=collect&action=hang")
        locks = inhibitions()
        logind().EmitSignal("org.freedesktop.login1.Manager", "PrepareForSleep", "b", [False])
        woke = app.wait_for(WOKE, 10)
        self.assertEqual(app.exit(), 0)
        self.assertGreater(time.monotonic() - app.lines[woke][0], 6, "the delayed restart came after the close")
        self.assertIsNone(app.find("[Status] Connecting to RTSP stream...", woke))
        self.assertEqual(inhibitions(), locks, "a stream took the idle lock again")

    def test_unwritable_configuration_keeps_the_new_url_in_memory(self):
        _, url = self.start("scripts/test_camera.py", "--scene", "still")
        self.store_url(url)
        # Root writes anything unless it gives up its override of file modes.
        app = App(self, prefix=["setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner", "--"]
                  if os.geteuid() == 0 else [])
        app.wait_for("[Status] Receiving frames: ")
        with open(self.config_file) as config:
            before = config.read()
        os.chmod(self.config_file, 0o400)
        os.chmod(self.home, 0o500)
        self.addCleanup(os.chmod, self.home, 0o700)
        start = len(app.lines)
        app.send("settings " + url.replace("rtsp://", "rtsp://viewer@"))
        app.wait_for("[Status] Streaming 320x240 from rtsp://viewer@", 20, start)
        self.assertEqual(app.exit(), 0)
        with open(self.config_file) as config:
            self.assertEqual(config.read(), before)
        self.assertEqual(sorted(os.listdir(self.home)), ["Orvanta", "Orvanta.conf"])  # and the picture folder

    def test_kills_during_token_saves_leave_a_well_formed_file(self):
        _, provider = self.start("tests/fakes/provider.py")
        for delay in (0, 0.002, 0.01, 0.03, 0.1, 0.3):
            with self.subTest(delay=delay):
                tokens = int(control(provider, "/control/count?endpoint=token"))
                app = App(self, provider)
                app.wait_for("[Status] Unable to open stream: ")
                app.send("connect")
                deadline = time.monotonic() + 20
                while int(control(provider, "/control/count?endpoint=token")) == tokens:
                    self.assertLess(time.monotonic(), deadline, "no token request")
                    time.sleep(0.002)
                time.sleep(delay)
                app.proc.kill()
                app.proc.wait(10)
                with open(self.config_file) as config:
                    lines = config.read().splitlines()
                self.assertTrue(all(re.fullmatch(r"\[\w+\]|\w+=.*|", line) for line in lines), lines)
                keys = {line.split("=")[0] for line in lines}
                self.assertIn("RtspUrl=" + REFUSED, lines)
                self.assertEqual("AccessToken" in keys, "TokenExpiry" in keys, "saved together or not at all")



class CameraScenarios(Scenario):
    """Several cameras in one program."""

    def test_three_cameras_each_deliver_into_their_own_folder_and_a_failing_one_leaves_the_others(self):
        _, provider = self.start("tests/fakes/provider.py")
        door, door_url = self.start("scripts/test_camera.py")
        garden, garden_url = self.start("scripts/test_camera.py")
        with open(self.config_file, "w") as config:
            config.write("[Stream]\nRtspUrl=%s\nName=Front door\n[Cameras/2]\nRtspUrl=%s\nName=Garden\n"
                         "[Cameras/5]\nRtspUrl=%s\nName=Garage\n[Pictures]\nFolder=%s\n"
                         % (door_url, garden_url, REFUSED, self.pictures))
        app = App(self, provider)
        app.send("connect")
        app.wait_for("[Status] Connected to Google Drive")
        app.wait_for("[Status] Garage: Unable to open stream: Connection refused")
        app.wait_for("[Status] Garden: Uploading to Google Drive: ")
        os.killpg(garden.pid, signal.SIGKILL)
        garden.wait(10)
        gone = app.wait_for("[Status] Garden: Stream read stopped: ")
        app.wait_for("[Status] Front door: Uploading to Google Drive: ", 20, gone + 1)
        os.killpg(door.pid, signal.SIGKILL)  # no motion from here on
        door.wait(10)
        app.wait_for("[Status] Front door: Stream read stopped: ")
        deadline = time.monotonic() + 60
        waiting = lambda: [f for c in ("Front door", "Garden") for f in os.listdir(os.path.join(self.pictures, c, "pending"))]
        while waiting() and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(waiting(), [], "pictures still waiting")
        self.assertEqual(app.exit(), 0)
        folders = {f["id"]: f for f in json.loads(control(provider, "/control/folders"))}
        base = [f["id"] for f in folders.values() if f["name"] == "Orvanta"]
        self.assertEqual(len(base), 1, folders)
        drive = json.loads(control(provider, "/control/files"))
        for camera in ("Front door", "Garden"):
            with self.subTest(camera=camera):
                subfolders = [i for i, f in folders.items() if f["name"] == camera and f.get("parents") == base]
                self.assertEqual(len(subfolders), 1, folders)
                kept = [name for name in os.listdir(os.path.join(self.pictures, camera)) if name.endswith(".jpg")]
                self.assertGreater(len(kept), 0)
                on_disk = []
                for name in kept:
                    with open(os.path.join(self.pictures, camera, name), "rb") as picture:
                        on_disk.append(hashlib.md5(picture.read()).hexdigest())
                in_drive = [f["md5Checksum"] for f in drive if f["parents"] == subfolders]
                self.assertEqual(sorted(in_drive), sorted(on_disk), "each kept picture once, in its camera's folder")
        self.assertEqual(len(drive), sum(1 for f in drive if f["parents"][0] in folders and folders[f["parents"][0]]["name"] != "Orvanta"))
        self.assertFalse(os.path.exists(os.path.join(self.pictures, "Garage")), "a camera that never streamed keeps nothing")


class MinimisedScenarios(Scenario):
    """With a window manager on the display, which no other test may share meanwhile."""

    def test_a_camera_that_comes_back_is_watched_again_with_one_sleep_lock_and_few_notifications(self):
        camera, url = self.start("scripts/test_camera.py")
        self.store_url(url, "Reconnect=true\n")
        # Minimising is the window manager's business; the active window gets no notification.
        manager = subprocess.Popen(["openbox", "--sm-disable"], stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (manager.terminate(), manager.wait(10)))
        locks, shown = inhibitions(), len(notifications())
        app = App(self)
        app.wait_for("[Status] Connecting to RTSP stream...")
        time.sleep(1)  # mapped, so that minimising is not lost
        app.send("minimise")
        motion = app.wait_for("[Status] Motion detected in stream.")
        deadline = time.monotonic() + 5
        while len(notifications()) == shown and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual([n[1] for n in notifications()[shown:]], ["Motion detected"], "\n".join(line for _, line in app.lines))
        os.killpg(camera.pid, signal.SIGKILL)  # a camera rebooting
        camera.wait(10)
        stopped = app.wait_for("[Status] Stream stopped \u2014 reconnecting in 5 s...", 30, motion)
        app.wait_for("[Status] Stream stopped \u2014 reconnecting in 10 s...", 30, stopped)
        self.assertEqual(len(idle_locks()), 1, "one lock while a retry waits")
        self.start("scripts/test_camera.py", "--port", url.split(":")[2].split("/")[0])
        back = app.wait_for("[Status] Receiving frames: ", 75, stopped)
        self.assertLess(app.lines[back][0] - app.lines[stopped][0], 75)
        deadline = time.monotonic() + 10
        while "Stream is back" not in [n[1] for n in notifications()] and time.monotonic() < deadline:
            time.sleep(0.1)
        summaries = [n[1] for n in notifications()[shown:]]
        self.assertEqual(summaries, ["Motion detected", "Stream stopped", "Stream is back"])
        self.assertNotEqual(notifications()[-1][2], 0, "the stream's notification is replaced, not added")
        self.assertEqual(len(idle_locks()), 1, "one lock once streaming again")
        self.assertEqual(inhibitions() - locks, 1, "one lock taken in all")
        self.assertEqual(app.exit(), 0)
        self.assertEqual(idle_locks(), [])


if __name__ == "__main__":
    unittest.main()
