#!/usr/bin/env python3
"""Checks the lip-fitting pieces: viseme targets and their keypoint
directions, phoneme timing from both synthesizers, and the readout
fitting."""
import os
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lips_eval  # noqa: E402
from lipfit import corpus, features, fit, visemes, weights  # noqa: E402


def frame_at(t):
    return int(t * visemes.SR // visemes.FRAME)


class VisemeTargets(unittest.TestCase):
    def test_shapes_over_time(self):
        spans = [(0.0, 0.3, "pau"), (0.3, 0.5, "aa"), (0.5, 0.58, "b"), (0.58, 0.8, "aa"),
                 (0.8, 1.0, "uw"), (1.0, 1.2, "iy"), (1.2, 1.3, "f"), (1.3, 1.5, "ay")]
        t = visemes.targets(spans, frame_at(2.0))
        # Silence well before speech and after the last phone is closed and neutral.
        np.testing.assert_allclose(t[:3], 0.0, atol=1e-2)
        np.testing.assert_allclose(t[-3:], 0.0, atol=1e-2)
        # A short b between two open vowels still closes at its middle.
        vowel = t[frame_at(0.4), 0]
        self.assertLess(t[frame_at(0.54), 0], 0.25 * vowel)
        # Rounded u is narrower than spread i; f rests the lip on the teeth.
        self.assertLess(t[frame_at(0.9), 1], 0)
        self.assertGreater(t[frame_at(1.1), 1], 0.5)
        self.assertGreater(t[frame_at(1.25), 2], 0.5)
        # The diphthong "ay" moves from the open a towards the spread i.
        self.assertGreater(t[frame_at(1.33), 0], t[frame_at(1.47), 0])
        self.assertLess(t[frame_at(1.33), 1], t[frame_at(1.47), 1])

    def test_directions_match_the_measures(self):
        d = visemes.directions()
        self.assertAlmostEqual(float(visemes.opening(d[0:1])[0]), visemes.OPEN_GAIN, places=6)
        self.assertAlmostEqual(float(visemes.width(d[1:2])[0]), 2 * visemes.WIDTH_GAIN, places=6)
        self.assertLess(float(visemes.opening(d[2:3])[0]), 0.0)     # lip onto the teeth narrows the gap
        self.assertEqual(float(visemes.width(d[0:1])[0]), 0.0)

    def test_rest_closing_brings_the_inner_lips_into_contact(self):
        rng = np.random.default_rng(3)
        loop = rng.normal(0.0, 0.2, (10, 21, 3))
        loop[:, 19, 1] = 0.15
        loop[:, 20, 1] = 0.15 + np.linspace(0.05, 0.07, 10)        # the idle face shows its teeth
        gap = visemes.rest_gap(loop)
        self.assertAlmostEqual(gap, 0.06, places=6)
        closed = loop.reshape(10, 63) + visemes.rest_closing(gap)
        np.testing.assert_allclose(visemes.inner_gap(closed), np.linspace(-0.01, 0.01, 10), atol=1e-6)
        # Opening the viseme fully from contact parts the lips by the gain.
        opened = closed + visemes.directions()[0]
        np.testing.assert_allclose(visemes.inner_gap(opened) - visemes.inner_gap(closed), visemes.OPEN_GAIN,
                                   atol=1e-6)
        # Lips already pressed together (or crossed) are not pulled further.
        loop[:, 20, 1] = 0.14
        self.assertEqual(visemes.rest_gap(loop), 0.0)
        self.assertFalse(np.any(visemes.rest_closing(0.0)))

    def test_phone_names(self):
        for name, phone in (("u:", "uw"), ("i:", "iy"), ("@2", "ax"), ("aI@", "ay"), ("_:", "pau"),
                            ("t#", "t"), ("oU", "ow"), ("m", "m"), ("I2", "ih")):
            self.assertEqual(visemes.espeak_phone(name), phone, name)
        self.assertIsNone(visemes.espeak_phone("||"))
        self.assertEqual(visemes.festival_phone("pau"), "pau")
        self.assertEqual(visemes.festival_phone("AXR"), "er")
        for phone in list(visemes.ESPEAK.values()) + ["h#", "sil", "axr", "dx"]:
            p = visemes.festival_phone(phone)
            self.assertTrue(p in visemes.SHAPES or p in visemes.DIPHTHONGS, phone)


class PhonemeTiming(unittest.TestCase):
    def check_spans(self, samples, spans):
        self.assertGreater(samples.size, visemes.SR // 2)
        self.assertTrue(np.all(np.isfinite(samples)))
        self.assertGreater(float(np.abs(samples).max()), 0.05)
        for (s0, e0, _), (s1, _, _) in zip(spans, spans[1:]):
            self.assertLess(s0, e0)
            self.assertLessEqual(e0, s1 + 1e-6)
        self.assertLessEqual(spans[-1][1], samples.size / visemes.SR + 0.05)

    def test_espeak_reports_the_bilabials_in_order(self):
        samples, spans = corpus.Espeak().speak("Mama bought a boot.", "en-us", 160, 50)
        self.check_spans(samples, spans)
        phones = [p for _, _, p in spans if p != "pau"]
        self.assertEqual(phones[:2], ["m", "aa"])
        self.assertIn("b", phones)
        self.assertIn("uw", phones)

    def test_festival_segments(self):
        samples, spans = corpus.festival_corpus(["Bob moved the blue boots."])[0]
        self.check_spans(samples, spans)
        self.assertEqual(spans[0][2], "pau")
        self.assertIn("uw", [p for _, _, p in spans])

    def test_flite_reports_the_bilabials_in_order(self):
        tts = corpus.Flite()
        for voice in corpus.FLITE_VOICES:
            samples, spans = tts.speak("Mama bought a boot.", voice, 1.15, 1.2)
            self.check_spans(samples, spans)
            phones = [p for _, _, p in spans if p != "pau"]
            self.assertEqual(phones[:3], ["m", "aa", "m"], voice)
            self.assertIn("uw", phones)
        # Stretching the durations slows the same sentence down.
        slow, _ = tts.speak("Mama bought a boot.", "slt", 1.15)
        fast, _ = tts.speak("Mama bought a boot.", "slt", 0.8)
        self.assertGreater(slow.size, 1.2 * fast.size)

    def test_the_held_out_speaker_is_not_fitted(self):
        # flite's kal is a diphone voice of the speaker Festival evaluates with.
        self.assertNotIn("kal", corpus.FLITE_VOICES)
        self.assertNotIn("kal16", corpus.FLITE_VOICES)

    def test_fitting_and_held_out_sentences_differ(self):
        fitting, held = corpus.sentences()
        self.assertEqual(len(held), corpus.HELD_OUT)
        self.assertFalse(set(fitting) & set(held))


class Features(unittest.TestCase):
    def burst(self):
        """Silence with a vowel-like buzz over frames 30-39 of 80."""
        x = np.zeros(80 * features.FRAME, np.float32)
        t = np.arange(10 * features.FRAME) / visemes.SR
        x[30 * features.FRAME:40 * features.FRAME] = 0.3 * np.sign(np.sin(2 * np.pi * 140 * t))
        return x

    def test_loudness_lines_up_with_the_frames(self):
        x = self.burst()
        for level in (features.a2x_features(x)[:, 0], features.motion_features(x).mean(axis=1)):
            loud = level > 0.5 * (level.max() + level.min())
            self.assertTrue(np.all(loud[31:39]), level)
            self.assertFalse(np.any(loud[:28]) or np.any(loud[42:]), level)

    def test_silence_stays_idle_and_speech_moves_the_lips(self):
        w = weights.load()
        speech, _ = corpus.Espeak().speak("Father.", "en-us", 150, 50)
        x = np.concatenate([np.zeros(features.FRAME * 20, np.float32), speech,
                            np.zeros(features.FRAME * 40, np.float32)])
        for predict, feats in ((fit.predict_a2x, features.a2x_features), (fit.predict_motion, features.motion_features)):
            p = predict(w, feats(x))
            self.assertTrue(np.all(p[:12] == 0.0) and np.all(p[-25:] == 0.0))
            self.assertGreater(float(p[20:-40, 0].max()), 0.3)


class Readout(unittest.TestCase):
    def test_recovers_a_temporal_filter(self):
        rng = np.random.default_rng(1)
        z = rng.standard_normal((600, 4))
        w = rng.standard_normal((fit.TAPS * 4, 3))
        y = fit.stack(z) @ w + np.array([0.1, -0.2, 0.3])
        got, bias = fit.ridge(fit.stack(z), y, 1e-9)
        np.testing.assert_allclose(got, w, atol=1e-5)
        np.testing.assert_allclose(bias, [0.1, -0.2, 0.3], atol=1e-5)
        # The convolution layout the models use gives the same prediction,
        # the future tap reading a later frame.
        np.testing.assert_allclose(fit._conv(z, fit.conv_weights(got, 4), bias), y, atol=1e-4)
        self.assertTrue(np.array_equal(fit.stack(z)[10, (fit.PAST + 1) * 4:(fit.PAST + 2) * 4], z[11]))

    def test_speech_span_bridges_stops_and_leaves_silence_idle(self):
        gate = np.zeros((60, 1))
        gate[20:40] = 1.0
        gate[28:31] = 0.0                       # the silent hold of a stop inside speech
        span = fit.speech_span(gate)[:, 0]
        np.testing.assert_array_equal(span[20:40], 1.0)
        # It begins before speech and ends after it, by the readout's taps,
        # and nowhere else moves away from the idle face.
        self.assertTrue(np.all(span[:20 - fit.FUTURE] == 0.0) and np.all(span[40 + fit.PAST:] == 0.0))
        self.assertTrue(np.all(np.diff(span[:21]) >= 0.0) and np.all(np.diff(span[39:]) <= 0.0))
        self.assertFalse(np.any(fit.speech_span(np.zeros((30, 1)))))

    def test_gated_fit_recovers_the_readout_behind_the_gate(self):
        # The models multiply the readout by the speech gate; fitted through
        # the gate, the readout is the one that holds where the gate is
        # open, while a plain fit is bent by the frames the gate closes.
        rng = np.random.default_rng(2)
        x = rng.standard_normal((800, 5))
        w = rng.standard_normal((5, 2))
        gate = np.clip(rng.uniform(-0.5, 1.5, (800, 1)), 0.0, 1.0)
        y = gate * (x @ w + 0.25)
        got, bias = fit.gated_ridge(x, gate, y, 1e-9)
        np.testing.assert_allclose(got, w, atol=1e-6)
        np.testing.assert_allclose(bias, [0.25, 0.25], atol=1e-6)
        plain, _ = fit.ridge(x, y, 1e-9)
        self.assertGreater(float(np.abs(plain - w).max()), 0.05)

class FittedModels(unittest.TestCase):
    def test_too_few_context_channels_are_refused_by_name(self):
        from bundlegen import a2x
        cfg = a2x.Config(h=4, width=0, window=3, silence_prime=8, fitted=True)
        with tempfile.TemporaryDirectory() as d:
            with self.assertRaisesRegex(ValueError, r"at least 5 context channels \(h is 4\)"):
                a2x.write(d, cfg)
            self.assertEqual(os.listdir(d), [])


class HeldOutMeasures(unittest.TestCase):
    """The evaluation's closure count reads the driven lips themselves."""

    def track(self, closing):
        spans = [(0.0, 0.2, "pau"), (0.2, 0.4, "aa"), (0.4, 0.56, "m"), (0.56, 0.8, "aa"), (0.8, 1.2, "pau")]
        frames = frame_at(1.2)
        base = np.zeros((frames, 63), np.float32)
        base[:, 19 * 3 + 1], base[:, 20 * 3 + 1] = 0.15, 0.21             # idle lips 0.06 apart
        target = visemes.targets(spans, frames)
        driven = base + target[:, :1] * visemes.directions()[0]
        speech = np.zeros((frames, 1), np.float32)                        # the models' loudness gate
        speech[frame_at(0.2):frame_at(0.8)] = 1.0
        if closing:
            driven += speech * visemes.rest_closing(0.06)
        return base, driven, spans

    def test_a_mouth_that_returns_to_a_parted_idle_face_is_not_closed(self):
        got = lips_eval.measure([self.track(closing=False)])
        self.assertEqual(got["closures"], 0.0)
        self.assertGreater(got["r"], 0.99)

    def test_r_reads_the_frames_of_speech_only(self):
        base, driven, spans = self.track(closing=True)
        self.assertEqual(lips_eval.speech_frames(spans), (frame_at(0.2), frame_at(0.8)))
        # Whatever the idle face does in silence does not count.
        driven[:frame_at(0.2) - 1] += 0.5 * visemes.directions()[0]
        self.assertGreater(lips_eval.measure([(base, driven, spans)])["r"], 0.99)
        # Lips that keep still through the speech do not correlate.
        still = base.copy()
        still[:frame_at(0.2)] += visemes.directions()[0]
        self.assertEqual(lips_eval.measure([(base, still, spans)])["r"], 0.0)

    def test_the_onset_utterance_opens_on_its_first_phone_and_ends_in_silence(self):
        spans = [(0.0, 0.3, "pau"), (0.3, 0.5, "m"), (0.5, 0.7, "aa"), (0.7, 0.9, "pau")]
        samples = np.zeros(frame_at(0.9) * visemes.FRAME, np.float32)
        samples[frame_at(0.3) * visemes.FRAME:frame_at(0.7) * visemes.FRAME] = 0.5
        x = lips_eval.onset_utterance(samples, spans)
        self.assertEqual(x[0], 0.5)
        tail = int(lips_eval.TAIL_S * visemes.SR)
        self.assertFalse(np.any(x[-tail:]))
        self.assertEqual(x.size, samples.size - frame_at(0.3) * visemes.FRAME + tail)

    def test_a_mouth_that_closes_to_contact_counts(self):
        got = lips_eval.measure([self.track(closing=True)])
        self.assertEqual(got["closures"], 1.0)
        self.assertEqual(got["cases"][0], 1)


if __name__ == "__main__":
    unittest.main()
