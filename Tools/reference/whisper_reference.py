#!/usr/bin/env python3
"""Independent NumPy reference for the Whisper models of MLRuntime.

Reads a model folder's model.json and weights.bin directly and computes, in float64:
  --filters             the Slaney mel filterbank for the mel model's n_mels, built here from its
                        definition (to check the one stored in the file) -> OUT/filters.f32 [n_mels, 201]
  --audio FILE          mel features of 480,000 float32 samples      -> OUT/mel.f32 [n_mels, 3000]
  --mel-input FILE      encoder output for float32 mel features      -> OUT/encoder.f32 [width, 1500]
  --encoder-input FILE  with --tokens: a causal decoder pass over all tokens (earlier positions'
                        keys and values rounded to float16, as the cache holds them)
                                                                     -> OUT/logits.f32 [T, vocab],
                        OUT/keys.f32 and OUT/values.f32 [T, layers*width], OUT/alignment.f32 [T, 1500]
Inputs and outputs are raw little-endian float32 files. Each model kind is read from its own
folder: --mel-model, --encoder-model, --decoder-model; or all three from a Whisper checkpoint in
the model hub's layout with --checkpoint DIR (config.json, generation_config.json and
model.safetensors or the shards of model.safetensors.index.json, read here directly; the mel
filterbank is then built from num_mel_bins).
"""
import argparse
import json
import math
import os
import struct

import numpy as np

N_SAMPLES, N_FFT, HOP = 480000, 400, 160


def load_model(folder):
    with open(os.path.join(folder, "model.json")) as f:
        meta = json.load(f)
    with open(os.path.join(folder, "weights.bin"), "rb") as f:
        blob = f.read()
    (length,) = struct.unpack("<Q", blob[:8])
    header = json.loads(blob[8:8 + length])
    start = (8 + length + 63) // 64 * 64
    tensors = {}
    for name, entry in header.items():
        dtype = {"float16": "<f2", "float32": "<f4"}[entry["dtype"]]
        begin, end = entry["offsets"]
        tensors[name] = np.frombuffer(blob, dtype=dtype, count=(end - begin) // np.dtype(dtype).itemsize,
                                      offset=start + begin).astype(np.float64).reshape(entry["shape"])
    return meta, tensors


def read_safetensors(path):
    with open(path, "rb") as f:
        blob = f.read()
    (length,) = struct.unpack("<Q", blob[:8])
    header = json.loads(blob[8:8 + length])
    tensors = {}
    for name, entry in header.items():
        if name == "__metadata__":
            continue
        dtype = {"F16": "<f2", "F32": "<f4"}[entry["dtype"]]
        begin, end = entry["data_offsets"]
        tensors[name] = np.frombuffer(blob[8 + length + begin:8 + length + end], dtype=dtype).astype(
            np.float64).reshape(entry["shape"])
    return tensors


# Checkpoint names (after "model.encoder." or "model.decoder.") -> the names this reference uses.
_LAYER_NAMES = [
    ("self_attn_layer_norm.", "attn_ln."), ("self_attn.q_proj.", "attn.query."), ("self_attn.k_proj.", "attn.key."),
    ("self_attn.v_proj.", "attn.value."), ("self_attn.out_proj.", "attn.out."),
    ("encoder_attn_layer_norm.", "cross_attn_ln."), ("encoder_attn.q_proj.", "cross_attn.query."),
    ("encoder_attn.k_proj.", "cross_attn.key."), ("encoder_attn.v_proj.", "cross_attn.value."),
    ("encoder_attn.out_proj.", "cross_attn.out."), ("final_layer_norm.", "mlp_ln."), ("fc1.", "mlp.fc1."),
    ("fc2.", "mlp.fc2."),
]


def _reference_name(name):
    if name.startswith("layers."):
        layer, rest = name[len("layers."):].split(".", 1)
        for old, new in _LAYER_NAMES:
            if rest.startswith(old):
                return "blocks.%s.%s%s" % (layer, new, rest[len(old):])
        raise KeyError(name)
    return {"embed_positions.weight": "positional_embedding", "embed_tokens.weight": "token_embedding",
            "layer_norm.weight": "ln_post.weight", "layer_norm.bias": "ln_post.bias"}.get(name, name)


def load_checkpoint(folder):
    """(encoder meta, encoder weights), (decoder meta, decoder weights) and n_mels of a checkpoint."""
    config = json.load(open(os.path.join(folder, "config.json")))
    tensors = {}
    if os.path.exists(os.path.join(folder, "model.safetensors")):
        tensors.update(read_safetensors(os.path.join(folder, "model.safetensors")))
    else:
        index = json.load(open(os.path.join(folder, "model.safetensors.index.json")))
        for shard in sorted(set(index["weight_map"].values())):
            tensors.update(read_safetensors(os.path.join(folder, shard)))
    sides = {"encoder": {}, "decoder": {}}
    for name, array in tensors.items():
        name = name[len("model."):] if name.startswith("model.") else name
        side, rest = name.split(".", 1)
        if side in sides:
            sides[side][_reference_name(rest)] = array
    heads = []
    generation = os.path.join(folder, "generation_config.json")
    if os.path.exists(generation):
        heads = json.load(open(generation)).get("alignment_heads") or []
    enc = ({"hyperparameters": {"n_layer": config["encoder_layers"], "n_head": config["encoder_attention_heads"]}},
           sides["encoder"])
    dec = ({"hyperparameters": {"n_layer": config["decoder_layers"], "n_head": config["decoder_attention_heads"]},
            "alignment_heads": heads}, sides["decoder"])
    return enc, dec, config["num_mel_bins"]


def read_f32(path, shape):
    return np.fromfile(path, dtype="<f4").astype(np.float64).reshape(shape)


def write_f32(path, array):
    np.asarray(array, dtype="<f4").tofile(path)


def hz_to_mel(hz):
    """Slaney scale: linear below 1 kHz (200/3 Hz per mel), logarithmic above (27 mels per factor 6.4)."""
    hz = np.asarray(hz, dtype=np.float64)
    log_part = 15.0 + np.log(np.maximum(hz, 1e-10) / 1000.0) / (np.log(6.4) / 27.0)
    return np.where(hz >= 1000.0, log_part, hz * 3.0 / 200.0)


def mel_to_hz(mels):
    mels = np.asarray(mels, dtype=np.float64)
    return np.where(mels >= 15.0, 1000.0 * np.exp((np.log(6.4) / 27.0) * (mels - 15.0)), mels * 200.0 / 3.0)


def slaney_filters(n_mels, sample_rate=16000):
    """Triangular filters between mel points spaced evenly from 0 Hz to Nyquist, each scaled by
    2 / (its upper edge - its lower edge) so that every filter has the same area."""
    bins = np.arange(N_FFT // 2 + 1) * sample_rate / N_FFT
    edges = mel_to_hz(np.linspace(hz_to_mel(0.0), hz_to_mel(sample_rate / 2.0), n_mels + 2))
    lower, centre, upper = edges[:-2, None], edges[1:-1, None], edges[2:, None]
    rising = (bins[None, :] - lower) / (centre - lower)
    falling = (upper - bins[None, :]) / (upper - centre)
    return np.maximum(0.0, np.minimum(rising, falling)) * (2.0 / (upper - lower))


def mel(filters, audio):
    padded = np.pad(audio, N_FFT // 2, mode="reflect")
    window = 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(N_FFT) / N_FFT)
    count = 1 + (len(padded) - N_FFT) // HOP
    frames = np.stack([padded[i * HOP:i * HOP + N_FFT] for i in range(count)])[:-1]
    power = np.abs(np.fft.rfft(frames * window, axis=1)) ** 2
    logmel = np.log10(np.maximum(filters @ power.T, 1e-10))
    logmel = np.maximum(logmel, logmel.max() - 8.0)
    return (logmel + 4.0) / 4.0


_erf = np.vectorize(math.erf)


def gelu(x):
    return 0.5 * x * (1.0 + _erf(x / math.sqrt(2.0)))


def layer_norm(x, g, b):
    mean = x.mean(axis=-1, keepdims=True)
    var = ((x - mean) ** 2).mean(axis=-1, keepdims=True)
    return (x - mean) / np.sqrt(var + 1e-5) * g + b


def softmax(x):
    e = np.exp(x - x.max(axis=-1, keepdims=True))
    return e / e.sum(axis=-1, keepdims=True)


def conv3(x, weight, bias, stride):
    """x [T, C_in] time-major; weight [C_out, C_in, 3]; padding 1."""
    padded = np.pad(x, ((1, 1), (0, 0)))
    out_len = (x.shape[0] - 1) // stride + 1
    out = np.zeros((out_len, weight.shape[0])) + bias
    for k in range(3):
        out += padded[k:k + stride * (out_len - 1) + 1:stride] @ weight[:, :, k].T
    return out


def attention(q, k, v, heads):
    """q [Tq, d], k/v [Tk, d]; returns output [Tq, d] and weights [heads, Tq, Tk]."""
    d = q.shape[1]
    dh = d // heads
    out = np.zeros_like(q)
    weights = []
    for h in range(heads):
        s = slice(h * dh, (h + 1) * dh)
        scores = q[:, s] @ k[:, s].T / math.sqrt(dh)
        p = softmax(scores)
        weights.append(p)
        out[:, s] = p @ v[:, s]
    return out, np.stack(weights)


def causal_half_cache_attention(q, k, v, heads):
    """Causal self-attention in which every earlier position's key and value is read through
    float16, as a decoder's key/value cache holds them; a position's own key and value are exact."""
    kh = k.astype(np.float16).astype(np.float64)
    vh = v.astype(np.float16).astype(np.float64)
    out = np.zeros_like(q)
    for i in range(q.shape[0]):
        keys = np.vstack([kh[:i], k[i:i + 1]])
        values = np.vstack([vh[:i], v[i:i + 1]])
        out[i:i + 1] = attention(q[i:i + 1], keys, values, heads)[0]
    return out


def block_attention(x, w, prefix, heads, source=None, causal=False):
    h = layer_norm(x, w[prefix + "_ln.weight"], w[prefix + "_ln.bias"])
    src = h if source is None else source
    q = h @ w[prefix + ".query.weight"].T + w[prefix + ".query.bias"]
    k = src @ w[prefix + ".key.weight"].T
    v = src @ w[prefix + ".value.weight"].T + w[prefix + ".value.bias"]
    if causal:
        out, p = causal_half_cache_attention(q, k, v, heads), None
    else:
        out, p = attention(q, k, v, heads)
    return out @ w[prefix + ".out.weight"].T + w[prefix + ".out.bias"], k, v, p


def mlp(x, w, layer):
    base = "blocks.%d.mlp" % layer
    h = layer_norm(x, w[base + "_ln.weight"], w[base + "_ln.bias"])
    h = gelu(h @ w[base + ".fc1.weight"].T + w[base + ".fc1.bias"])
    return h @ w[base + ".fc2.weight"].T + w[base + ".fc2.bias"]


def encoder(model, features):
    meta, w = model
    hp = meta["hyperparameters"]
    x = gelu(conv3(features.T, w["conv1.weight"], w["conv1.bias"], 1))
    x = gelu(conv3(x, w["conv2.weight"], w["conv2.bias"], 2))
    x = x + w["positional_embedding"]
    for layer in range(hp["n_layer"]):
        x = x + block_attention(x, w, "blocks.%d.attn" % layer, hp["n_head"])[0]
        x = x + mlp(x, w, layer)
    return layer_norm(x, w["ln_post.weight"], w["ln_post.bias"]).T


def decoder(model, encoded, tokens):
    meta, w = model
    hp = meta["hyperparameters"]
    heads = hp["n_head"]
    count = len(tokens)
    audio = encoded.T  # [1500, width]
    x = w["token_embedding"][tokens] + w["positional_embedding"][:count]
    keys, values, alignment = [], [], np.zeros((count, audio.shape[0]))
    alignment_heads = meta.get("alignment_heads", [])
    for layer in range(hp["n_layer"]):
        out, k, v, _ = block_attention(x, w, "blocks.%d.attn" % layer, heads, causal=True)
        keys.append(k)
        values.append(v)
        x = x + out
        out, _, _, p = block_attention(x, w, "blocks.%d.cross_attn" % layer, heads, source=audio)
        for (l, h) in alignment_heads:
            if l == layer:
                alignment += p[h] / len(alignment_heads)
        x = x + out
        x = x + mlp(x, w, layer)
    x = layer_norm(x, w["ln_post.weight"], w["ln_post.bias"])
    logits = x @ w["token_embedding"].T
    return logits, np.concatenate(keys, axis=1), np.concatenate(values, axis=1), alignment


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mel-model")
    parser.add_argument("--encoder-model")
    parser.add_argument("--decoder-model")
    parser.add_argument("--checkpoint")
    parser.add_argument("--filters", action="store_true")
    parser.add_argument("--audio")
    parser.add_argument("--mel-input")
    parser.add_argument("--encoder-input")
    parser.add_argument("--tokens", help="comma-separated token ids")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    if args.checkpoint:
        enc_model, dec_model, n_mels = load_checkpoint(args.checkpoint)
        filters = slaney_filters(n_mels)
    else:
        enc_model = load_model(args.encoder_model) if args.encoder_model else None
        dec_model = load_model(args.decoder_model) if args.decoder_model else None
        filters = load_model(args.mel_model)[1]["mel_filters"] if args.mel_model and args.audio else None
        n_mels = enc_model[0]["hyperparameters"]["n_mels"] if enc_model else None
    if args.filters:
        n_mels = json.load(open(os.path.join(args.mel_model, "model.json")))["hyperparameters"]["n_mels"]
        write_f32(os.path.join(args.out, "filters.f32"), slaney_filters(n_mels))
    if args.audio:
        write_f32(os.path.join(args.out, "mel.f32"), mel(filters, read_f32(args.audio, (N_SAMPLES,))))
    if args.mel_input:
        features = read_f32(args.mel_input, (n_mels, 2 * 1500))
        write_f32(os.path.join(args.out, "encoder.f32"), encoder(enc_model, features))
    if args.encoder_input:
        encoded = read_f32(args.encoder_input, (-1, 1500))
        tokens = [int(t) for t in args.tokens.split(",")]
        logits, keys, values, alignment = decoder(dec_model, encoded, tokens)
        for name, array in (("logits", logits), ("keys", keys), ("values", values), ("alignment", alignment)):
            write_f32(os.path.join(args.out, name + ".f32"), array)

if __name__ == "__main__":
    main()
