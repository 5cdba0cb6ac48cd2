#!/usr/bin/python3
"""A test camera: a small RTSP server on 127.0.0.1 that serves a synthetic
H.264 scene, for the decoder, window and benchmark tests.

Run it with Debian's /usr/bin/python3 (it needs the GStreamer GI bindings).
Once it listens it prints exactly one line, "READY rtsp://127.0.0.1:PORT/PATH",
and flushes stdout; it exits cleanly on SIGTERM or SIGINT. The media is shared,
so several clients may watch the same picture.

Scenes:
  moving  a white rectangle, a quarter of the picture wide and three
          quarters high, sweeping from left to right across a black
          background and starting over (one crossing every 0.6 s), so that
          pictures 100 ms apart differ in blobs of well over 6000 px² from
          320x240 upwards
  still   a static colour-bar picture
"""

import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

# Seconds the moving object takes to cross the picture once; fast enough that
# even the edges of the rectangle sweep large areas between sampled pictures.
CROSSING_SECONDS = 0.6


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0,
                        help="TCP port on 127.0.0.1 (0 picks a free one)")
    parser.add_argument("--path", default="/stream", help="mount path")
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--scene", choices=("moving", "still"), default="moving")
    media = parser.add_mutually_exclusive_group()
    media.add_argument("--audio", action="store_true",
                       help="serve an audio stream beside the video")
    media.add_argument("--audio-only", action="store_true",
                       help="serve audio and no video at all")
    args = parser.parse_args(argv)
    # x264 needs even sizes for 4:2:0 pictures.
    if args.width < 16 or args.height < 16 or args.width % 2 or args.height % 2:
        parser.error("--width and --height must be even and at least 16")
    if args.fps < 1:
        parser.error("--fps must be at least 1")
    if not args.path.startswith("/"):
        parser.error("--path must begin with '/'")
    return args


def object_size(args):
    return max(8, (args.width // 4) & ~1), max(8, (args.height * 3 // 4) & ~1)


def video_branch(args):
    fps = args.fps
    # Short key-frame intervals let a client that joins a shared stream start fast.
    encoder = ("x264enc tune=zerolatency speed-preset=ultrafast threads=1 "
               f"key-int-max={max(1, fps // 2)} ! video/x-h264,profile=baseline ! "
               "rtph264pay name=pay0 pt=96 config-interval=-1")
    picture = f"video/x-raw,format=I420,width={args.width},height={args.height},framerate={fps}/1"
    if args.scene == "still":
        return f"videotestsrc is-live=true pattern=smpte ! {picture} ! {encoder}"
    obj_w, obj_h = object_size(args)
    return (f"videotestsrc is-live=true pattern=white ! "
            f"video/x-raw,format=I420,width={obj_w},height={obj_h},framerate={fps}/1 ! "
            f"compositor name=scene background=black ! {picture} ! {encoder}")


def audio_branch(payloader_name):
    return ("audiotestsrc is-live=true wave=sine freq=440 ! "
            "audio/x-raw,rate=8000,channels=1 ! alawenc ! "
            f"rtppcmapay name={payloader_name} pt=8")


def launch_line(args):
    if args.audio_only:
        return f"( {audio_branch('pay0')} )"
    if args.audio:
        return f"( {video_branch(args)} {audio_branch('pay1')} )"
    return f"( {video_branch(args)} )"


def animate_scene(media, args):
    """Places the moving object by each picture's timestamp, so its path does
    not depend on how fast the pipeline runs."""
    scene = media.get_element().get_by_name("scene")
    if scene is None:
        return
    pad = scene.get_static_pad("sink_0")
    obj_w, obj_h = object_size(args)
    travel = args.width - obj_w
    pad.set_property("ypos", (args.height - obj_h) // 2)

    def place(probe_pad, info):
        buffer = info.get_buffer()
        if buffer is not None and buffer.pts != Gst.CLOCK_TIME_NONE:
            fraction = (buffer.pts / Gst.SECOND / CROSSING_SECONDS) % 1.0
            probe_pad.set_property("xpos", int(round(fraction * travel)))
        return Gst.PadProbeReturn.OK

    pad.add_probe(Gst.PadProbeType.BUFFER, place)


def main(argv):
    args = parse_args(argv)
    Gst.init(None)

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))

    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch_line(args))
    factory.set_shared(True)
    factory.connect("media-configure", lambda _factory, media: animate_scene(media, args))
    server.get_mount_points().add_factory(args.path, factory)

    loop = GLib.MainLoop()
    if server.attach(None) == 0:
        print("test_camera: cannot listen on 127.0.0.1:%d" % args.port, file=sys.stderr)
        return 1
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)

    print(f"READY rtsp://127.0.0.1:{server.get_bound_port()}{args.path}", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
