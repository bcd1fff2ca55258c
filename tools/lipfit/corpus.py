"""Phoneme-timed speech: espeak-ng and flite through their C libraries
for fitting, Festival for held-out evaluation. Every utterance is 16 kHz
mono float32 samples with (start s, end s, phone) spans in the phones of
visemes.py.

espeak-ng reports a phoneme event with the sample position where each
phoneme starts (synchronous mode, phoneme events on); a phoneme ends where
the next begins, except around stops (stops_at_their_hold). flite's
utterance and Festival's segment file carry each segment's end time.

flite's kal voice is left out of fitting: it is a diphone voice of the same
speaker as Festival's default voice, which the evaluation holds out.
"""
import ctypes
import os
import shutil
import subprocess
import tempfile
import wave

import numpy as np
from scipy.signal import resample_poly

from . import visemes

SR = visemes.SR
HERE = os.path.dirname(os.path.abspath(__file__))
SENTENCES = os.path.join(HERE, "sentences.txt")
HELD_OUT = 40          # the last sentences of the list: never used for fitting

# Voices, variants, speeds (words a minute) and pitches the fitting corpus
# cycles through.
VOICES = ("en-us", "en", "en-gb-x-rp", "en-gb-scotland", "en-029", "en-gb-x-gbclan", "en-us-nyc", "en-gb-x-gbcwmd")
# The stream's readout hears six accents and six variants: on flite's awb
# voice, left out, the wider set below raised its r, but on the held-out
# synthesizer it lowered r and left more bilabials open.
STREAM_VOICES = VOICES[:6]
STREAM_VARIANTS = ("", "+m3", "+f2", "+f4", "+m7", "+klatt")
# Every variant espeak-ng-data ships but the whispered ones (no voicing to
# read the vowels from), the robotic ones and "fast": the more vocal tracts
# the readouts hear, the better they carry over to a voice they did not.
VARIANTS = ("", "+Alex", "+Alicia", "+Andrea", "+Andy", "+Annie", "+AnxiousAndy", "+Denis", "+Diogo", "+Gene",
            "+Gene2", "+Henrique", "+Hugo", "+Jacky", "+Lee", "+Marco", "+Mario", "+Michael", "+Mike", "+Nguyen",
            "+RicishayMax", "+RicishayMax2", "+RicishayMax3", "+Storm", "+Tweaky", "+adam", "+anika", "+anikaRobot",
            "+announcer", "+antonio", "+aunty", "+belinda", "+benjamin", "+boris", "+caleb", "+croak", "+david",
            "+ed", "+edward", "+edward2", "+f1", "+f2", "+f3", "+f4", "+f5", "+grandma", "+grandpa", "+gustave",
            "+iven", "+iven2", "+iven3", "+iven4", "+john", "+kaukovalta", "+klatt", "+klatt2", "+klatt3", "+klatt4",
            "+klatt5", "+klatt6", "+linda", "+m1", "+m2", "+m3", "+m4", "+m5", "+m6", "+m7", "+m8", "+marcelo",
            "+max", "+michel", "+miguel", "+norbert", "+pablo", "+paul", "+pedro", "+quincy", "+rob", "+robert",
            "+sandro", "+shelby", "+steph", "+steph2", "+steph3", "+travis", "+victor", "+zac")
SPEEDS = (130, 150, 165, 185, 210)
PITCHES = (30, 45, 55, 70)

# flite's statistical CMU Arctic voices, the duration stretches and the
# mean pitches (Hz) the fitting corpus cycles through.
FLITE_VOICES = ("slt", "rms", "awb")
FLITE_STRETCH = (0.8, 0.9, 1.0, 1.15)
FLITE_PITCH_SHIFT = (0.85, 1.0, 1.2)

_EVENT_PHONEME, _EVENT_LIST_END = 7, 0
_OUTPUT_SYNCHRONOUS, _POS_CHARACTER = 2, 1
_INIT_PHONEME_EVENTS, _INIT_DONT_EXIT = 0x0001, 0x8000
_ENDPAUSE = 0x1000
_RATE, _PITCH = 1, 3

# espeak-ng reports a stop at its release: the hold before it (silence for
# p, t, k and ch, a quiet voice bar for b, d and g) ends the previous
# phoneme's span, and the stop's own span is the burst and the aspiration
# after it. The lips stay closed through a bilabial's hold and part at its
# release, and flite's segments, like Festival's, end a stop at its release.
# Moving the hold into the stop and what follows the burst to the next phone
# raised r on flite's awb and slt voices, unheard by a readout fitted on
# espeak-ng alone, from 0.579 and 0.558 to 0.603 and 0.595 (means of three seeds).
STOPS = frozenset(("p", "b", "t", "d", "k", "g", "ch", "jh"))
HOLD_BLOCK_S = 0.0025  # the hold is found in blocks of this length
HOLD_QUIET_DB = 25.0   # a block this far below the utterance's loud ones (95th percentile) is quiet
HOLD_MAX_S = 0.15
RELEASE_S = 0.005      # the burst, which stays with the stop
MIN_PHONE_S = 0.01     # what the phone before a hold keeps at least


def sentences():
    with open(SENTENCES) as fh:
        lines = [s.strip() for s in fh if s.strip()]
    return lines[:-HELD_OUT], lines[-HELD_OUT:]


def stops_at_their_hold(raw, rate, spans):
    """espeak-ng's contiguous spans (start s, end s, phone) of speech `raw`
    at `rate` Hz, each stop after a sounded phone moved onto its hold: the
    quiet blocks just before its event join it, and what follows its burst
    goes to the next phone unless that is a pause."""
    blk = max(int(rate * HOLD_BLOCK_S), 1)
    n = raw.size // blk
    if n == 0:
        return spans
    level = 10.0 * np.log10((np.asarray(raw[:n * blk], np.float64).reshape(n, blk) ** 2).mean(axis=1) + 1e-12)
    quiet = np.percentile(level, 95) - HOLD_QUIET_DB
    out = [list(s) for s in spans]
    for i in range(1, len(out)):
        start, end, phone = out[i]
        before = out[i - 1]
        if phone not in STOPS or before[2] == "pau" or before[1] != start:
            continue
        k = min(int(start * rate) // blk, n)     # blocks before k end at or before the event
        lo = max(int(np.ceil((before[0] + MIN_PHONE_S) * rate / blk)), k - int(round(HOLD_MAX_S / HOLD_BLOCK_S)))
        j = k
        while j - 1 >= lo and level[j - 1] < quiet:
            j -= 1
        if j == k:
            continue
        before[1] = out[i][0] = j * blk / rate
        if i + 1 < len(out) and out[i + 1][2] != "pau" and out[i + 1][0] == end and end > start + RELEASE_S:
            out[i][1] = out[i + 1][0] = start + RELEASE_S
    return [tuple(s) for s in out]


class _Event(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("unique_identifier", ctypes.c_uint), ("text_position", ctypes.c_int),
                ("length", ctypes.c_int), ("audio_position", ctypes.c_int), ("sample", ctypes.c_int),
                ("user_data", ctypes.c_void_p), ("id", ctypes.c_char * 8)]


_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_short), ctypes.c_int, ctypes.POINTER(_Event))


class Espeak:
    """One synthesizer for the process (the library keeps global state)."""

    def __init__(self):
        try:
            self.lib = ctypes.CDLL("libespeak-ng.so.1")
        except OSError as e:
            raise RuntimeError("cannot load libespeak-ng.so.1 (Debian package libespeak-ng1): %s" % e)
        self.rate = self.lib.espeak_Initialize(_OUTPUT_SYNCHRONOUS, 200, None,
                                               _INIT_PHONEME_EVENTS | _INIT_DONT_EXIT)
        if self.rate <= 0:
            raise RuntimeError("espeak_Initialize failed (returned %d)" % self.rate)
        self.chunks, self.events = [], []
        self.cb = _CALLBACK(self._collect)       # kept alive as long as the library may call it
        self.lib.espeak_SetSynthCallback(self.cb)

    def _collect(self, wav, n, events):
        if n > 0:
            self.chunks.append(np.ctypeslib.as_array(wav, (n,)).copy())
        i = 0
        while events[i].type != _EVENT_LIST_END:
            e = events[i]
            if e.type == _EVENT_PHONEME:
                self.events.append((e.sample, e.id.split(b"\0")[0].decode("ascii", "replace")))
            i += 1
        return 0

    def speak(self, text, voice, speed, pitch):
        """(samples at 16 kHz, phone spans)."""
        if self.lib.espeak_SetVoiceByName(voice.encode()) != 0:
            raise RuntimeError("espeak-ng has no voice %r" % voice)
        self.lib.espeak_SetParameter(_RATE, speed, 0)
        self.lib.espeak_SetParameter(_PITCH, pitch, 0)
        self.chunks, self.events = [], []
        data = text.encode()
        rc = self.lib.espeak_Synth(data, len(data) + 1, 0, _POS_CHARACTER, 0, _ENDPAUSE, None, None)
        self.lib.espeak_Synchronize()
        if rc != 0 or not self.chunks:
            raise RuntimeError("espeak-ng could not speak %r with %s (code %d)" % (text, voice, rc))
        raw = np.concatenate(self.chunks).astype(np.float64) / 32768.0
        g = np.gcd(SR, self.rate)
        samples = resample_poly(raw, SR // g, self.rate // g).astype(np.float32)
        total = raw.size / self.rate
        spans = []
        for i, (pos, name) in enumerate(self.events):
            end = self.events[i + 1][0] / self.rate if i + 1 < len(self.events) else total
            phone = visemes.espeak_phone(name)
            if phone is not None and end > pos / self.rate:
                spans.append((pos / self.rate, end, phone))
        return samples, stops_at_their_hold(raw, self.rate, spans)


def espeak_corpus(texts, renditions=2, seed=5, voices=VOICES, variants=VARIANTS):
    """Each text spoken `renditions` times by voices, variants, speeds and
    pitches drawn from a seeded generator."""
    rng = np.random.default_rng(seed)
    tts = Espeak()
    out = []
    for text in texts:
        for _ in range(renditions):
            voice = voices[rng.integers(len(voices))] + variants[rng.integers(len(variants))]
            out.append(tts.speak(text, voice, int(rng.choice(SPEEDS)), int(rng.choice(PITCHES))))
    return out


class _Wave(ctypes.Structure):
    _fields_ = [("type", ctypes.c_char_p), ("sample_rate", ctypes.c_int), ("num_samples", ctypes.c_int),
                ("num_channels", ctypes.c_int), ("samples", ctypes.POINTER(ctypes.c_short))]


class _Voice(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("features", ctypes.c_void_p)]


class Flite:
    """flite's voices through libflite; one instance for the process."""

    _SIGNATURES = {
        "flite_synth_text": (ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_void_p]),
        "utt_wave": (ctypes.POINTER(_Wave), [ctypes.c_void_p]),
        "utt_relation": (ctypes.c_void_p, [ctypes.c_void_p, ctypes.c_char_p]),
        "relation_head": (ctypes.c_void_p, [ctypes.c_void_p]),
        "item_next": (ctypes.c_void_p, [ctypes.c_void_p]),
        "item_feat_float": (ctypes.c_float, [ctypes.c_void_p, ctypes.c_char_p]),
        "item_feat_string": (ctypes.c_char_p, [ctypes.c_void_p, ctypes.c_char_p]),
        "feat_set_float": (None, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_float]),
        "get_param_float": (ctypes.c_float, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_float]),
        "delete_utterance": (None, [ctypes.c_void_p]),
    }

    def __init__(self):
        try:
            self.lib = ctypes.CDLL("libflite.so.1")
        except OSError as e:
            raise RuntimeError("cannot load libflite.so.1 (Debian package libflite1): %s" % e)
        for name, (res, args) in self._SIGNATURES.items():
            f = getattr(self.lib, name)
            f.restype, f.argtypes = res, args
        self.lib.flite_init()
        self.voices, self.libs = {}, []

    def voice(self, name):
        if name not in self.voices:
            lib = "libflite_cmu_us_%s.so.1" % name
            try:
                vl = ctypes.CDLL(lib)
            except OSError as e:
                raise RuntimeError("cannot load %s (Debian package libflite1): %s" % (lib, e))
            reg = getattr(vl, "register_cmu_us_" + name)
            reg.restype, reg.argtypes = ctypes.POINTER(_Voice), [ctypes.c_char_p]
            v = reg(None)
            if not v:
                raise RuntimeError("flite could not register the voice %s" % name)
            self.libs.append(vl)                  # the voice's data lives in its library
            mean = self.lib.get_param_float(v.contents.features, b"int_f0_target_mean", 0.0)
            self.voices[name] = (v, mean)
        return self.voices[name]

    def speak(self, text, voice, stretch=1.0, pitch_shift=1.0):
        """(samples at 16 kHz, phone spans)."""
        v, mean = self.voice(voice)
        feats = v.contents.features
        self.lib.feat_set_float(feats, b"duration_stretch", stretch)
        if mean > 0.0:
            self.lib.feat_set_float(feats, b"int_f0_target_mean", mean * pitch_shift)
        utt = self.lib.flite_synth_text(text.encode(), v)
        if not utt:
            raise RuntimeError("flite could not speak %r with %s" % (text, voice))
        try:
            w = self.lib.utt_wave(utt)
            if not w or w.contents.num_samples <= 0 or w.contents.num_channels != 1:
                raise RuntimeError("flite gave no mono speech for %r with %s" % (text, voice))
            w = w.contents
            raw = np.ctypeslib.as_array(w.samples, (w.num_samples,)).astype(np.float64) / 32768.0
            rate = w.sample_rate
            spans, start = [], 0.0
            item = self.lib.relation_head(self.lib.utt_relation(utt, b"Segment"))
            while item:
                end = float(self.lib.item_feat_float(item, b"end"))
                name = self.lib.item_feat_string(item, b"name").decode("ascii", "replace")
                if end > start:
                    spans.append((start, end, visemes.festival_phone(name)))
                start = max(start, end)
                item = self.lib.item_next(item)
        finally:
            self.lib.delete_utterance(utt)
        g = np.gcd(SR, rate)
        return resample_poly(raw, SR // g, rate // g).astype(np.float32), spans


def flite_corpus(texts, renditions=1, seed=7):
    """Each text spoken `renditions` times by flite voices, stretches and
    pitches drawn from a seeded generator."""
    rng = np.random.default_rng(seed)
    tts = Flite()
    out = []
    for text in texts:
        for _ in range(renditions):
            voice = FLITE_VOICES[rng.integers(len(FLITE_VOICES))]
            out.append(tts.speak(text, voice, float(rng.choice(FLITE_STRETCH)), float(rng.choice(FLITE_PITCH_SHIFT))))
    return out


def _read_wav(path):
    with wave.open(path) as w:
        if w.getframerate() != SR or w.getnchannels() != 1 or w.getsampwidth() != 2:
            raise RuntimeError("%s: expected 16 kHz mono 16-bit speech" % path)
        return np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float32) / 32768.0


def festival_utterance(text, work):
    """Festival's default voice (16 kHz) speaking `text`: (samples, spans)."""
    if shutil.which("festival") is None:
        raise RuntimeError("festival is not installed (Debian packages festival, festvox-kallpc16k)")
    wav, segs, scm = (os.path.join(work, n) for n in ("u.wav", "u.segs", "u.scm"))
    quoted = text.replace("\\", " ").replace('"', " ")
    with open(scm, "w") as fh:
        fh.write('(set! utt (utt.synth (Utterance Text "%s")))\n'
                 '(utt.save.wave utt "%s" (quote riff))\n(utt.save.segs utt "%s")\n' % (quoted, wav, segs))
    subprocess.run(["festival", "-b", scm], check=True, capture_output=True)
    samples = _read_wav(wav)
    spans, start = [], 0.0
    with open(segs) as fh:
        body = fh.read().split("#", 1)[-1]
    for line in body.splitlines():
        parts = line.split()
        if len(parts) < 3:
            continue
        end = float(parts[0])
        if end > start:
            spans.append((start, end, visemes.festival_phone(parts[2])))
        start = end
    return samples, spans


def festival_corpus(texts):
    with tempfile.TemporaryDirectory(prefix="lipfit-") as work:
        return [festival_utterance(t, work) for t in texts]
