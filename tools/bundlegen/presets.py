"""Bundle presets: canvas, crop, loop length, face and motion."""
from . import portrait


class Preset:
    def __init__(self, name, w, h, crop, nt, unsharp, offset, crop_scale, motion,
                 make_portrait, encoder_threads, n_donors, teeth_bank=True, fitted_speech=False,
                 jpeg_driver=True):
        self.name = name
        self.w, self.h, self.crop, self.nt = w, h, crop, nt
        self.unsharp = unsharp          # (amount, sigma, ksize)
        self.offset = offset            # canvas position of the portrait's top-left pixel
        self.crop_scale = crop_scale    # portrait pixels per crop pixel
        self.motion = motion            # (rotation degrees, breathing, sway x px, sway y px)
        self.make_portrait = make_portrait
        self.encoder_threads = encoder_threads
        self.n_donors = n_donors        # teeth bank size when the bank is written
        self.fitted_speech = fitted_speech  # phoneme-fitted speech models (tools/lipfit), else loudness ones
        # Writes the teeth bank unless asked not to; it is left out when the
        # crop is too small for the engine to tell which lip geometry the
        # bank was cut on (see teeth_bank.corpus_separation).
        self.teeth_bank = teeth_bank
        # Writes the driving frames as a JPEG directory beside the MP4. The
        # engine prefers the directory when it is populated, and decoding a
        # 720p JPEG with stb_image costs about 7 ms of a 40 ms frame where
        # the H.264 member costs well under 1, so a real-time preset ships
        # the MP4 alone.
        self.jpeg_driver = jpeg_driver


PRESETS = {
    # Unit-test bundle: small enough to generate in about a second. Its
    # sharpening settings differ from the loader's defaults on purpose.
    "tiny": Preset("tiny", 160, 120, 64, 12, (0.8, 1.5, 9), (24.0, 2.0), 1.1,
                   (1.5, 0.01, 1.5, 1.0), lambda rng: portrait.tiny_face(rng), 1, 6),
    # A real face on a 720p canvas, three seconds of idle motion.
    "demo": Preset("demo", 1280, 720, 256, 75, (1.3, 2.0, 13), (288.0, 8.0), 1.05,
                   (0.6, 0.004, 3.0, 1.5), lambda rng: portrait.astronaut(1.375), 2, 1024,
                   fitted_speech=True, jpeg_driver=False),
}
