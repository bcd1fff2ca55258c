"""Training of the lip readouts with torch (only tools/fit_lips.py imports
this module; the bundle generators read the trained weights with numpy).

Both readouts (the stream's over the standardised log band energies, the
motion's over the floored, standardised log-mel) are a small temporal
convolution stack: a convolution over fit.TAPS frames (PAST before, FUTURE
after, inside the engine's look-ahead), two 1x1 layers with ReLU between,
and the four readouts of fit (opening, width, labiodental, closure), which
the speech gate and fit.shape_params turn into the lip shape. The loss is
taken on the shape the models drive, so the closure readout is fitted
where it acts.

Augmentation: a random level per utterance is already in the features;
training also shifts each utterance's spectrum along the bands (a longer
or shorter vocal tract) and tilts it, anew in every epoch, which a voice
the fitting did not hear changes most. The motion readout centres its
inputs after that, as the model does. Tried and left out, on flite's awb
voice held out of the fit: a random smooth equaliser on top of the tilt
(a2x 0.636 against 0.633, motion 0.709 against 0.718), layers of 256 and
128 with more dropout (no gain in or out of distribution), a shift of 4
mel bands for the motion (0.724, fewer closures).
"""
import numpy as np
import torch
from torch import nn

from . import fit

HIDDEN = (128, 64)
CHUNK = 256            # output frames per training sequence
BATCH = 32
# Loss weights of opening, width, labiodental and of the closure readout
# against the closure labels (an auxiliary target that keeps the fourth
# readout a closure detector rather than a free channel).
LOSS_WEIGHTS = (2.0, 1.0, 0.5)
DROPOUT = 0.1
NOISE = 0.1            # standard deviation of the noise on the standardised inputs
WEIGHT_DECAY = 1e-4
LEARNING_RATE = 2e-3
CLOSURE_WEIGHT = 2.0
# Weight of the opening's error at closure frames: a bilabial lasts a few
# frames between long vowels, and an even loss lets it pass half open.
CLOSED_FRAME_WEIGHT = 8.0
THREADS = 2


class Readout(nn.Module):
    def __init__(self, dims, hidden=HIDDEN):
        super().__init__()
        self.drop = nn.Dropout(DROPOUT)
        self.layers = nn.ModuleList([nn.Conv1d(dims, hidden[0], fit.TAPS), nn.Conv1d(hidden[0], hidden[1], 1),
                                     nn.Conv1d(hidden[1], fit.OUTPUTS, 1)])

    def forward(self, x):
        """x [B, d, frames + TAPS - 1] (already padded) -> [B, 4, frames]."""
        for k, layer in enumerate(self.layers):
            x = layer(x)
            if k + 1 < len(self.layers):
                x = self.drop(torch.relu(x))
        return x

    def arrays(self):
        """[(weight [out, in, taps], bias [out])] as float32 numpy."""
        return [(l.weight.detach().numpy().astype(np.float32).copy(), l.bias.detach().numpy().astype(np.float32).copy())
                for l in self.layers]


def shape(p, gate, shaping):
    """torch version of fit.shape_params of gated readouts: p [B, 4, n],
    gate [B, 1, n], shaping (pull, settle) -> opening, width, labiodental
    [B, 3, n] and the gated closure readout [B, n]."""
    pull, settle = shaping
    p = p * gate
    closed = torch.clamp(p[:, 3], 0.0, 1.0)
    o = torch.relu(p[:, 0] - pull * closed)
    kernel = torch.tensor(fit.SMOOTH, dtype=p.dtype)[None, None]
    o = torch.relu(torch.nn.functional.conv1d(o[:, None], kernel, padding=1)[:, 0] - settle * closed)
    return torch.stack([o, torch.clamp(p[:, 1], -1.2, 1.2), torch.clamp(p[:, 2], 0.0, 1.0)], dim=1), p[:, 3]


def _sequences(zs, gates, ys):
    """Utterances, each zero-padded by its own context, laid end to end and
    cut into CHUNK-frame pieces: (x [N, d, CHUNK + TAPS - 1], gate, y, mask)."""
    d = zs[0].shape[1]
    xs, gs, ts, ms = [], [], [], []
    for z, g, y in zip(zs, gates, ys):
        xs.append(np.concatenate([np.zeros((fit.PAST, d)), z, np.zeros((fit.FUTURE, d))]))
        # Output frames line up with input frames shifted by the context;
        # the context positions themselves are not trained.
        pad = np.zeros((fit.TAPS - 1, 1))
        gs.append(np.concatenate([g, pad]))
        ts.append(np.concatenate([y, np.zeros((fit.TAPS - 1, y.shape[1]))]))
        ms.append(np.concatenate([np.ones(len(z)), np.zeros(fit.TAPS - 1)]))
    x, g, t, m = (np.concatenate(a) for a in (xs, gs, ts, ms))
    n = (len(m) - fit.TAPS + 1) // CHUNK
    idx = np.arange(n)[:, None] * CHUNK
    win = idx + np.arange(CHUNK + fit.TAPS - 1)
    out = idx + np.arange(CHUNK)
    return (x[win].transpose(0, 2, 1), g[out].transpose(0, 2, 1), t[out].transpose(0, 2, 1), m[out])


def _augment(x, rng, mean, std, floor, reach):
    """Random shift along the bands (up to `reach` bands either way) and
    tilt of standardised log spectra x [B, bands, T], applied on the raw
    log values; frames whose mean is at most `floor` are silence and keep
    their values."""
    b, d, _ = x.shape
    raw = x * std[None, :, None] + mean[None, :, None]
    shift = rng.uniform(-reach, reach, b)
    pos = np.clip(np.arange(d)[None, :] + shift[:, None], 0, d - 1)
    lo = np.floor(pos).astype(int)
    hi = np.minimum(lo + 1, d - 1)
    f = (pos - lo)[:, :, None]
    rows = np.arange(b)[:, None]
    warped = raw[rows, lo] * (1 - f) + raw[rows, hi] * f
    tilt = rng.uniform(-1.5, 1.5, b)[:, None, None] * np.linspace(-1, 1, d)[None, :, None]
    # Silent frames keep their level (log of the floor), so that the
    # augmentation does not invent sound where there is none.
    voiced = raw.mean(axis=1, keepdims=True) > floor
    out = np.where(voiced, warped + tilt, raw)
    return (out - mean[None, :, None]) / std[None, :, None]


def train(zs, gates, ys, seed, epochs, shaping, augment=None, centre=None, log=print):
    """Fits a Readout on utterances: standardised features zs [frames, d],
    gates [frames, 1], targets ys [frames, 4] (opening, width, labiodental,
    closure label). `shaping`: (pull, settle) of shape. `augment`: None or
    (mean, std, silence floor, reach) of the log spectra for the band
    augmentation, drawn anew per utterance and epoch; `centre`: None or the function (z, gate) -> z the model applies
    to its inputs, run after the augmentation as the model would see the
    altered voice. Deterministic for a given seed."""
    torch.manual_seed(seed)
    torch.set_num_threads(THREADS)
    torch.use_deterministic_algorithms(True)
    rng = np.random.default_rng(seed)
    model = Readout(zs[0].shape[1])
    opt = torch.optim.Adam(model.parameters(), lr=LEARNING_RATE, weight_decay=WEIGHT_DECAY)
    sched = torch.optim.lr_scheduler.CosineAnnealingLR(opt, epochs)
    lw = torch.tensor(LOSS_WEIGHTS, dtype=torch.float32)[None, :, None]
    opening_only = torch.tensor([1.0, 0.0, 0.0])[None, :, None]
    g, t, m = _sequences(zs, gates, ys)[1:]
    gt, tt, mt = (torch.from_numpy(a.astype(np.float32)) for a in (g, t, m))
    for epoch in range(epochs):
        model.train()
        inputs = zs
        if augment is not None:
            inputs = [_augment(z.T[None], rng, *augment)[0].T for z in inputs]
        if centre is not None:
            inputs = [centre(z, gate) for z, gate in zip(inputs, gates)]
        x = _sequences(inputs, gates, ys)[0]
        order = rng.permutation(len(x))
        total = 0.0
        for s in range(0, len(order), BATCH):
            b = order[s:s + BATCH]
            xb = x[b] + rng.standard_normal(x[b].shape) * NOISE
            p = model(torch.from_numpy(xb.astype(np.float32)))
            got, closure = shape(p, gt[b], shaping)
            mask = mt[b][:, None, :]
            closed = 1.0 + (CLOSED_FRAME_WEIGHT - 1.0) * tt[b, 3][:, None, :] * opening_only
            err = ((got - tt[b, :3]) ** 2 * lw * mask * closed).sum() + \
                CLOSURE_WEIGHT * ((torch.clamp(closure, 0.0, 1.0) - tt[b, 3]) ** 2 * mt[b]).sum()
            loss = err / mt[b].sum()
            opt.zero_grad()
            loss.backward()
            opt.step()
            total += float(loss) * len(b)
        sched.step()
        if epoch % 10 == 0 or epoch + 1 == epochs:
            log("epoch %d loss %.4f" % (epoch, total / len(x)))
    model.eval()
    return model.arrays()
