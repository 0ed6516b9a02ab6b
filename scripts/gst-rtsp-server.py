#!/usr/bin/python3
"""A third-party RTSP server for tests: GStreamer's gst-rtsp-server on loopback.

Our simulator shares our reading of the protocol; this server does not. Tests
start it, read the line "READY rtsp://127.0.0.1:PORT/MOUNT" from its standard
output and point the client at that address. It runs until it is killed or
--duration seconds have passed.

  gst-rtsp-server.py [--port 0] [--mount /stream] [--video h264|h265|mjpeg]
                     [--size 640x360] [--fps 25] [--bitrate KBPS] [--threads N]
                     [--pattern ball|smpte|snow|...] [--encoder-props "k=v ..."]
                     [--audio none|pcma|pcmu|aac|g726-16|g726-24|g726-32|g726-40]
                     [--audio-rate HZ] [--tone HZ] [--timeout S]
                     [--user U --password P [--auth basic|digest]]
                     [--protocols tcp|udp|both] [--controls stream|trackid]
                     [--duration S]

Needs python3-gi, gir1.2-gst-rtsp-server-1.0 and the GStreamer plugin sets
(base, good, ugly for x264enc, bad for x265enc, libav for the AAC and G.726
encoders): scripts/deps.sh installs them.
"""
import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402


def video_branch(a):
    w, h = a.size.split("x")
    caps = f"video/x-raw,width={w},height={h},framerate={a.fps}/1"
    src = f"videotestsrc is-live=true pattern={a.pattern} ! {caps}"
    props = a.encoder_props or ""
    if a.video == "h264":
        enc = (f"x264enc tune=zerolatency speed-preset=ultrafast threads={a.threads} "
               f"bitrate={a.bitrate} key-int-max={a.fps * 2} {props} "
               f"! video/x-h264,profile=baseline "
               f"! rtph264pay name=pay0 pt=96 config-interval=-1")
    elif a.video == "h265":
        enc = (f"x265enc tune=zerolatency speed-preset=ultrafast bitrate={a.bitrate} "
               f"key-int-max={a.fps * 2} {props} "
               f"! rtph265pay name=pay0 pt=96 config-interval=-1")
    elif a.video == "mjpeg":
        enc = (f"video/x-raw,format=I420 ! jpegenc quality=80 {props} "
               f"! rtpjpegpay name=pay0 pt=26")
    else:
        raise SystemExit(f"unknown video codec {a.video}")
    return f"{src} ! videoconvert ! {enc}"


def audio_branch(a):
    if a.audio == "none":
        return ""
    rate = a.audio_rate or (16000 if a.audio == "aac" else 8000)
    src = (f"audiotestsrc is-live=true freq={a.tone} volume=0.5 "
           f"! audioconvert ! audioresample ! audio/x-raw,rate={rate},channels=1")
    if a.audio == "pcma":
        enc = "alawenc ! rtppcmapay name=pay1 pt=8"
    elif a.audio == "pcmu":
        enc = "mulawenc ! rtppcmupay name=pay1 pt=0"
    elif a.audio == "aac":
        enc = "avenc_aac ! rtpmp4gpay name=pay1 pt=108"
    elif a.audio.startswith("g726-"):
        kbps = int(a.audio[5:])
        enc = f"avenc_g726 bitrate={kbps * 1000} ! rtpg726pay name=pay1 pt=97"
    else:
        raise SystemExit(f"unknown audio codec {a.audio}")
    return f" {src} ! {enc}"


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--mount", default="/stream")
    p.add_argument("--video", default="h264")
    p.add_argument("--size", default="640x360")
    p.add_argument("--fps", type=int, default=25)
    p.add_argument("--bitrate", type=int, default=1000, help="kbit/s")
    p.add_argument("--threads", type=int, default=1, help="x264 threads = slices per picture")
    p.add_argument("--pattern", default="ball")
    p.add_argument("--encoder-props", default="")
    p.add_argument("--audio", default="none")
    p.add_argument("--audio-rate", type=int, default=0)
    p.add_argument("--tone", type=int, default=440)
    p.add_argument("--timeout", type=int, default=0, help="session timeout in seconds")
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    p.add_argument("--auth", default="digest", choices=["basic", "digest"])
    p.add_argument("--protocols", default="both", choices=["tcp", "udp", "both"])
    p.add_argument("--controls", default="stream", choices=["stream", "trackid"],
                   help="track controls: the server's own \"stream=N\" or \"trackID=N\"")
    p.add_argument("--duration", type=int, default=0)
    a = p.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(a.port))

    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(f"( {video_branch(a)}{audio_branch(a)} )")
    factory.set_shared(True)
    protos = {"tcp": GstRtsp.RTSPLowerTrans.TCP,
              "udp": GstRtsp.RTSPLowerTrans.UDP,
              "both": GstRtsp.RTSPLowerTrans.TCP | GstRtsp.RTSPLowerTrans.UDP}
    factory.set_protocols(protos[a.protocols])

    if a.user:
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "user")
        if a.auth == "basic":
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC)
            auth.add_basic(GstRtspServer.RTSPAuth.make_basic(a.user, a.password), token)
        else:
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
            auth.add_digest(a.user, a.password, token)
        server.set_auth(auth)
        permissions = GstRtspServer.RTSPPermissions()
        permissions.add_permission_for_role("user", "media.factory.access", True)
        permissions.add_permission_for_role("user", "media.factory.construct", True)
        factory.set_permissions(permissions)

    if a.controls == "trackid":
        # Track controls as many cameras name them ("trackID=N").
        def on_configure(_factory, media):
            for i in range(media.n_streams()):
                media.get_stream(i).set_control(f"trackID={i}")
        factory.connect("media-configure", on_configure)

    if a.timeout > 0:
        def on_client(_server, client):
            client.connect("new-session", lambda _c, session: session.set_timeout(a.timeout))
        server.connect("client-connected", on_client)

        # The server expires sessions only when asked to: once a second, as
        # gst-rtsp-server's own examples do.
        def cleanup():
            server.get_session_pool().cleanup()
            return True
        GLib.timeout_add_seconds(1, cleanup)

    server.get_mount_points().add_factory(a.mount, factory)
    if server.attach(None) == 0:
        print("cannot attach the server", file=sys.stderr)
        return 2
    print(f"READY rtsp://127.0.0.1:{server.get_bound_port()}{a.mount}", flush=True)

    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    if a.duration > 0:
        GLib.timeout_add_seconds(a.duration, loop.quit)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
