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

try:
    import torch
    HAVE_TORCH = True
except ImportError:
    HAVE_TORCH = False


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

    def test_espeak_stops_span_their_hold_and_end_at_the_release(self):
        samples, spans = corpus.Espeak().speak("A happy cat sat up.", "en-us", 160, 50)
        stops = [(i, s, e) for i, (s, e, p) in enumerate(spans) if p in ("p", "t", "k") and spans[i - 1][2] != "pau"]
        self.assertGreaterEqual(len(stops), 4)
        quiet = lambda a, b: float(np.abs(samples[int(a * visemes.SR):int(b * visemes.SR)]).max())
        for i, s, e in stops:
            # The silent hold lies inside the stop, the vowel before it is sounded to its end.
            self.assertLess(quiet(s + 0.003, s + 0.025), 0.01, spans[i])
            self.assertGreater(quiet(s - 0.01, s), 0.01, spans[i - 1])
            if i + 1 < len(spans) and spans[i + 1][2] != "pau":
                self.assertEqual(spans[i + 1][0], e)
                self.assertGreater(quiet(e, e + 0.02), 0.01, spans[i + 1])

        # Built: loud, 50 ms of silence, the event, loud again. A hold after a
        # pause or none at all leaves the spans as they are.
        rate = 16000
        loud = np.sin(np.arange(rate) * 0.3)
        raw = np.concatenate([loud[:3200], np.zeros(800), loud[:3200]])
        spans = [(0.0, 0.25, "aa"), (0.25, 0.3, "b"), (0.3, 0.45, "aa")]
        got = corpus.stops_at_their_hold(raw, rate, spans)
        self.assertEqual([p for _, _, p in got], ["aa", "b", "aa"])
        self.assertAlmostEqual(got[1][0], 0.2, delta=0.003)
        self.assertAlmostEqual(got[1][1], 0.25 + corpus.RELEASE_S)
        self.assertEqual((got[0][1], got[2][0]), (got[1][0], got[1][1]))
        self.assertEqual(corpus.stops_at_their_hold(raw, rate, [(0.0, 0.25, "pau")] + spans[1:]),
                         [(0.0, 0.25, "pau")] + spans[1:])
        self.assertEqual(corpus.stops_at_their_hold(loud[:7200], rate, spans), spans)

    def test_every_fitting_voice_and_variant_speaks(self):
        # A name espeak-ng does not know would stop a fit half way through.
        tts = corpus.Espeak()
        for voice in corpus.VOICES:
            self.assertGreater(tts.speak("Hi.", voice, 150, 50)[0].size, 0, voice)
        for variant in corpus.VARIANTS:
            self.assertGreater(tts.speak("Hi.", "en-us" + variant, 150, 50)[0].size, 0, variant)

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
            self.assertGreater(float(p[20:-40, 0].max()), 0.2)


class Readout(unittest.TestCase):
    def weights(self, rng, dims):
        w = {}
        for k, shape in enumerate(((6, dims, fit.TAPS), (5, 6, 1), (fit.OUTPUTS, 5, 1))):
            w["t_w%d" % k] = rng.standard_normal(shape).astype(np.float32)
            w["t_b%d" % k] = rng.standard_normal(shape[0]).astype(np.float32)
        return w

    def test_stack_reads_past_and_future_frames_in_conv_layout(self):
        rng = np.random.default_rng(1)
        z = rng.standard_normal((40, 3))
        w = self.weights(rng, 3)
        got = fit.readout(z, w, "t")
        # The first layer is a convolution over the taps, tap k on frame
        # t + k - PAST, zeros beyond the utterance; the rest act per frame.
        pad = np.concatenate([np.zeros((fit.PAST, 3)), z, np.zeros((fit.FUTURE, 3))])
        for t in (0, 17, 39):
            h = np.einsum("oik,ki->o", w["t_w0"], pad[t:t + fit.TAPS]) + w["t_b0"]
            h = np.maximum(w["t_w1"][:, :, 0] @ np.maximum(h, 0) + w["t_b1"], 0)
            np.testing.assert_allclose(got[t], w["t_w2"][:, :, 0] @ h + w["t_b2"], rtol=1e-5, atol=1e-5)
        self.assertEqual(fit.layer_count(w, "t"), 3)

    def test_a_readout_is_the_mean_of_its_stacks(self):
        rng = np.random.default_rng(7)
        w = self.weights(rng, 3)
        w.update({k.replace("t_", "t1_"): v for k, v in self.weights(rng, 3).items()})
        w.update({k.replace("t_", "t3_"): v for k, v in self.weights(rng, 3).items()})   # no t2: not a member
        self.assertEqual(fit.members(w, "t"), ["t", "t1"])
        z = rng.standard_normal((20, 3))
        np.testing.assert_allclose(fit.ensemble(z, w, "t"), 0.5 * (fit.readout(z, w, "t") + fit.readout(z, w, "t1")))

    @unittest.skipUnless(HAVE_TORCH, "torch is only needed to fit")
    def test_trained_layout_is_the_exported_one(self):
        # The weights torch trains are read by numpy and the ONNX graphs in
        # the same layout: a transposed tap order would look like a model
        # that merely fits badly.
        from lipfit import net
        model = net.Readout(3)
        w = {"t_w%d" % k: cw for k, (cw, b) in enumerate(model.eval().arrays())}
        w.update({"t_b%d" % k: b for k, (cw, b) in enumerate(model.arrays())})
        z = np.random.default_rng(2).standard_normal((30, 3)).astype(np.float32)
        x = np.concatenate([np.zeros((fit.PAST, 3)), z, np.zeros((fit.FUTURE, 3))]).T[None].astype(np.float32)
        with torch.no_grad():
            want = model(torch.from_numpy(x))[0].numpy().T
        np.testing.assert_allclose(fit.readout(z, w, "t"), want, rtol=1e-4, atol=1e-5)

    @unittest.skipUnless(HAVE_TORCH, "torch is only needed to fit")
    def test_band_augmentation_leaves_silence_alone(self):
        from lipfit import net
        rng = np.random.default_rng(3)
        mean, std = np.full(8, -2.0), np.full(8, 2.0)
        raw = np.full((4, 8, 10), -9.0)
        raw[:, :, 5:] = rng.uniform(-3, 0, (4, 8, 5))                      # speech in the last five frames
        got = net._augment((raw - mean[None, :, None]) / std[None, :, None], rng, mean, std, -8.5, 1.0)
        back = got * std[None, :, None] + mean[None, :, None]
        np.testing.assert_allclose(back[:, :, :5], -9.0, atol=1e-9)
        self.assertGreater(float(np.abs(back[:, :, 5:] - raw[:, :, 5:]).max()), 0.01)

    def test_motion_inputs_keep_speech_at_unit_scale_and_silence_on_the_floor(self):
        # Standardised over silence too, speech's log-mel would vary by a
        # third of a unit, below the training noise.
        tts = corpus.Espeak()
        utts = [tts.speak(t, v, 160, 50) for t, v in (("Mama bought a boot.", "en-us"), ("Five wise owls.", "en+f2"),
                                                     ("Bob moved the blue boots.", "en-gb-x-rp+m3"))]
        data = fit.dataset(utts)
        w, _, (zm, gm) = fit.standardise(data)
        speech = np.concatenate([d[2][:, 0] for d in data]) > 0.05
        z = np.concatenate(zm)
        self.assertTrue(0.7 < float(np.median(z[speech].std(axis=0))) < 1.3)
        # Silence, however quiet, reads as the floor: one fixed row.
        silent = np.concatenate(gm)[:, 0] == 0.0
        quiet = fit.motion_inputs(w, np.full((2, 80), -30.0, np.float32))
        np.testing.assert_allclose(z[silent], np.broadcast_to(quiet[0], z[silent].shape), atol=1e-5)

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


    def test_centring_drops_what_a_voice_adds_to_every_frame(self):
        rng = np.random.default_rng(5)
        z = rng.standard_normal((30, 4))
        gate = np.ones((30, 1))
        gate[:5] = gate[-5:] = 0.0                                        # silence around the speech
        gate[5:8] = 0.5                                                   # a soft onset
        got = fit.centre(z, gate)
        np.testing.assert_allclose(fit.centre(z + np.array([3.0, -1.0, 0.5, 9.0]), gate), got, atol=1e-12)
        np.testing.assert_allclose((got * gate).sum(axis=0), 0.0, atol=1e-9)
        # Silence keeps its distance from the speech: a stop's hold must read as quiet.
        np.testing.assert_allclose(got[:5] - got[10], z[:5] - z[10], atol=1e-12)
        # A chunk of silence alone is left as it is rather than divided by nothing.
        np.testing.assert_array_equal(fit.centre(z, np.zeros((30, 1))), z)

    def test_each_frame_is_centred_over_its_own_motion_chunk(self):
        rng = np.random.default_rng(6)
        z = rng.standard_normal((200, 3))
        gate = rng.uniform(0.2, 1.0, (200, 1))
        got = fit.centre_chunks(z, gate)
        # Chunks start every stride and span the chunk length, cut at the end.
        for lo, frames in ((0, (0, 69)), (70, (70, 139)), (140, (140, 199))):
            hi = min(lo + fit.MO_CHUNK, 200)
            want = fit.centre(z[lo:hi], gate[lo:hi])
            for f in frames:
                np.testing.assert_allclose(got[f], want[f - lo], atol=1e-12)
        # An utterance no longer than a chunk is centred as a whole.
        np.testing.assert_allclose(fit.centre_chunks(z[:60], gate[:60]), fit.centre(z[:60], gate[:60]))

    def test_bands_are_recovered_from_the_encoder_features(self):
        # The a2x features are tanh mixtures of the encoder's log band
        # energies; the readout reads the bands back.
        import speech_models as sm
        enc = sm.weights()
        rng = np.random.default_rng(4)
        bands = np.log(rng.uniform(0.0, 3.0, (50, sm.BANDS)) ** 2 + sm.EPS)
        cols = bands @ enc["mix"][:, :, 0].T + enc["mix_b"]
        fa = np.tanh(cols @ enc["head"] + enc["head_b"]) * enc["scale"].mean(axis=0) + enc["shift"].mean(axis=0)
        scale, offset, matrix, bias = fit.band_inverse(fa)
        w = dict(a2x_scale=scale, a2x_offset=offset, a2x_inv=matrix, a2x_inv_b=bias)
        np.testing.assert_allclose(fit.a2x_bands(w, fa), bands, atol=1e-3)
        self.assertFalse(np.any(matrix[0]), "the loudness detector is not a band mixture")


class Shaping(unittest.TestCase):
    def test_smoothing_keeps_a_bilabial_between_vowels_closed(self):
        p = np.zeros((20, fit.OUTPUTS))
        p[3:17, 0] = 0.8                    # an open vowel, gated, over frames 3-16
        p[9:11, 3] = 1.0                    # a two-frame closure inside it
        for kind in ("a2x", "mo"):
            o = fit.shape_params(p, kind)[:, 0]
            # Smoothed alone, the closure would keep a quarter of the vowel.
            unsettled = fit.smooth(np.maximum(p[:, 0] - fit.CLOSURE_PULL[kind] * p[:, 3], 0.0))
            self.assertGreater(unsettled[9], 0.15)
            np.testing.assert_array_equal(o[9:11], 0.0)
            self.assertAlmostEqual(o[5], 0.8)
            # The smoothing reaches one frame into the silence around, no further.
            self.assertGreater(o[2], 0.0)
            np.testing.assert_array_equal(o[:2], 0.0)
            np.testing.assert_array_equal(o[18:], 0.0)


class FittedModels(unittest.TestCase):
    def test_too_few_context_channels_are_refused_by_name(self):
        from bundlegen import a2x
        cfg = a2x.Config(h=4, width=0, window=4, left=5, silence_prime=8, fitted=True)
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

    def test_each_source_is_held_to_its_own_r(self):
        m = {"r": 0.665, "r_all": 0.3, "closures": 0.9, "rounding": 1.0}
        self.assertEqual(lips_eval.failures("motion", m, 0.0, 0.0), [])
        self.assertEqual(lips_eval.failures("a2x", m, 0.0, 0.0), ["a2x r 0.665 < 0.68"])
        got = lips_eval.failures("a2x", dict(m, r=0.7, closures=0.79), 1e-3, 0.0)
        self.assertEqual(len(got), 2, got)
        self.assertIn("a2x closures 0.790 < 0.80", got)
        self.assertTrue(got[1].startswith("a2x silence moves the keypoints"), got)

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
