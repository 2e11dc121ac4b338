"""Text columns as float vectors: each distinct string embedded once.

`text_embedder` is a callable (list of str -> float array or tensor of
shape (n, d)), a PyTorch Frame `TextEmbedderConfig` (its `text_embedder`
called on batches of `batch_size`), or None for `hashed_ngrams`: a fixed,
offline embedding that needs no model.

`hashed_ngrams` lowercases each string, pads it with a space at either end
and counts its UTF-8 byte trigrams into `HASH_DIM` buckets by a fixed
multiplicative hash, each with a sign from another bit of the hash, and
scales the vector to unit length. Strings that share words share
trigrams, so they land near each other; the same string always gives the
same vector, on every machine and in every process (Python's own `hash` of
a str is salted per process, so it is not used). It is computed in NumPy
over all strings at once.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from tovalib_data._optional import require

Float32Array = npt.NDArray[np.float32]
HASH_DIM = 64
# Strings embedded per call of the embedder; a progress bar shows once there
# are more than PROGRESS_AT distinct strings (and tqdm is installed).
BATCH = 4096
PROGRESS_AT = 4 * BATCH
_GOLDEN = np.uint64(0x9E3779B97F4A7C15)


def hashed_ngrams(texts: list[str]) -> Float32Array:
    """Each text as a unit vector of HASH_DIM signed counts of its byte
    trigrams (see the module docstring); a text of no trigram is zeros."""
    padded = [f" {t.lower()} ".encode() for t in texts]
    lengths = np.fromiter((len(b) for b in padded), dtype=np.int64, count=len(padded))
    data = np.frombuffer(b"".join(padded), dtype=np.uint8).astype(np.uint64)
    out = np.zeros((len(texts), HASH_DIM), dtype=np.float32)
    if len(data) < 3:
        return out
    starts = np.cumsum(lengths) - lengths
    grams = (data[:-2] << np.uint64(16)) | (data[1:-1] << np.uint64(8)) | data[2:]
    owner = np.repeat(np.arange(len(texts), dtype=np.int64), lengths)[:-2]
    # A trigram lies in one text when it starts at least 3 bytes before that text's end.
    ends = (starts + lengths)[owner]
    inside = np.arange(len(grams), dtype=np.int64) + 3 <= ends
    hashed = grams[inside] * _GOLDEN
    bucket = (hashed >> np.uint64(58)).astype(np.int64) % HASH_DIM
    sign = np.where((hashed >> np.uint64(31)) & np.uint64(1), 1.0, -1.0)
    np.add.at(out, (owner[inside], bucket), sign.astype(np.float32))
    norm = np.linalg.norm(out, axis=1, keepdims=True)
    np.divide(out, norm, out=out, where=norm > 0)
    return out


def embedder_of(text_embedder: Any) -> tuple[Callable[[list[str]], Any], int]:
    """The callable and the batch size to call it with."""
    if text_embedder is None:
        return hashed_ngrams, BATCH
    inner = getattr(text_embedder, "text_embedder", None)
    if inner is not None and callable(inner):  # a TextEmbedderConfig
        batch = getattr(text_embedder, "batch_size", None)
        return inner, int(batch) if batch else BATCH
    if callable(text_embedder):
        return text_embedder, BATCH
    raise TypeError("text_embedder must be a callable (list of str -> array of shape (n, d)), "
                    f"a torch_frame TextEmbedderConfig or None, not {type(text_embedder).__name__}")


def embed_distinct(texts: list[str], text_embedder: Any, where: str) -> Float32Array:
    """The embeddings of `texts` (one row each), embedding each distinct
    string once, in batches, with a progress bar for many."""
    embed, batch = embedder_of(text_embedder)
    distinct, inverse = np.unique(np.array(texts, dtype=object).astype(str), return_inverse=True)
    strings = distinct.tolist()
    starts = range(0, len(strings), batch)
    if len(strings) > PROGRESS_AT:
        try:
            tqdm = require("tqdm").tqdm
        except ImportError:
            pass
        else:
            starts = tqdm(starts, desc=f"embedding {where}", unit="batch")
    parts = [_matrix(embed(strings[i:i + batch]), min(batch, len(strings) - i), where)
             for i in starts]
    if not parts:
        dim = _matrix(embed([""]), 1, where).shape[1]
        return np.zeros((len(texts), dim), dtype=np.float32)
    if len({p.shape[1] for p in parts}) > 1:
        raise ValueError(f"{where}: text_embedder returned embeddings of different widths")
    return np.concatenate(parts)[inverse.reshape(-1)]


def _matrix(value: Any, rows: int, where: str) -> Float32Array:
    """An embedder's result as a float32 matrix of `rows` rows."""
    if hasattr(value, "detach"):  # a torch tensor
        value = value.detach().cpu().numpy()
    out = np.asarray(value, dtype=np.float32)
    if out.ndim != 2 or out.shape[0] != rows:
        raise ValueError(f"{where}: text_embedder must return an array of shape ({rows}, d) "
                         f"for {rows} strings, got shape {out.shape}")
    return out
