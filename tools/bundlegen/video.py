"""Video members, written through the `ffmpeg` command from raw RGB frames.

Encoders run with fixed thread counts and bit-exact muxing so that the same
frames always give the same bytes.
"""
import os
import shutil
import subprocess

FPS = 25


def ffmpeg_exe():
    exe = shutil.which("ffmpeg")
    if not exe:
        raise RuntimeError("the `ffmpeg` command is not on PATH; it is needed to write the video members")
    return exe


class _Encoder:
    def __init__(self, path, w, h, codec_args, fmt):
        self.path = path
        self.w, self.h = w, h
        cmd = [ffmpeg_exe(), "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
               "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", "%dx%d" % (w, h), "-r", str(FPS), "-i", "-",
               "-an", "-map_metadata", "-1", "-fflags", "+bitexact", "-flags:v", "+bitexact",
               "-color_range", "tv", "-colorspace", "smpte170m",
               "-color_primaries", "smpte170m", "-color_trc", "smpte170m"]
        cmd += codec_args + ["-f", fmt, path]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stderr=subprocess.PIPE)
        self.count = 0

    def write(self, frame):
        if frame.shape != (self.h, self.w, 3):
            raise ValueError("frame of shape %s written to a %dx%d video %s"
                             % (frame.shape, self.w, self.h, self.path))
        self.proc.stdin.write(frame.tobytes())
        self.count += 1

    def close(self):
        self.proc.stdin.close()
        err = self.proc.stderr.read().decode("utf-8", "replace")
        if self.proc.wait() != 0:
            raise RuntimeError("ffmpeg failed writing %s: %s" % (self.path, err.strip()))


def h264(path, w, h, pix_fmt="yuv420p", threads=1):
    """The driving video: H.264 in MP4."""
    return _Encoder(path, w, h, ["-c:v", "libx264", "-preset", "veryfast", "-crf", "16", "-g", "25",
                                 "-threads", str(threads), "-pix_fmt", pix_fmt], "mp4")


def hevc(path, w, h, pix_fmt="yuv444p"):
    """The warp prior: HEVC in a QuickTime container, 4:4:4 so the chroma of
    the face is not subsampled."""
    return _Encoder(path, w, h, ["-c:v", "libx265", "-preset", "fast", "-pix_fmt", pix_fmt,
                                 "-x265-params", "log-level=error:crf=10:pools=none:frame-threads=1",
                                 "-tag:v", "hvc1"], "mov")


class JpegDir:
    """Numbered JPEG frames, frame_%06d.jpg from 0."""

    def __init__(self, path, quality=92):
        os.makedirs(path, exist_ok=True)
        self.path = path
        self.quality = quality
        self.count = 0

    def write(self, frame, index=None):
        from PIL import Image

        index = self.count if index is None else index
        Image.fromarray(frame, "RGB").save(os.path.join(self.path, "frame_%06d.jpg" % index),
                                           quality=self.quality)
        self.count += 1

    def close(self):
        pass


def probe(path):
    """(frames stated by the container or counted, width, height, pix_fmt,
    codec) of the first video stream, via ffprobe."""
    exe = shutil.which("ffprobe")
    if not exe:
        raise RuntimeError("the `ffprobe` command is not on PATH")
    out = subprocess.run([exe, "-v", "error", "-select_streams", "v:0", "-count_frames",
                          "-show_entries", "stream=nb_read_frames,nb_frames,width,height,pix_fmt,codec_name",
                          "-of", "default=noprint_wrappers=1", path],
                         check=True, capture_output=True, text=True).stdout
    info = dict(line.split("=", 1) for line in out.split("\n") if "=" in line)
    return {k: (int(v) if v.isdigit() else v) for k, v in info.items()}
