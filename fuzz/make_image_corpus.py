"""Writes the seed corpus of the image fuzzer into fuzz/corpus/image/.

Valid images are packed by the installed package (``kestrix.KRXFlash._pack_image``), so their
digests carry the module's key; the rest are put together by hand to reach each failure.
    python fuzz/make_image_corpus.py
"""

import json
import shutil
import tempfile
from pathlib import Path
from typing import Dict, Optional

from kestrix import KRXFlash

OUT = Path(__file__).resolve().parent / "corpus" / "image"


def _u32(value: int) -> bytes:
    return value.to_bytes(4, "big")


def _packed(header: Optional[bytes], image: bytes, image_start: Optional[int] = None) -> bytes:
    with tempfile.TemporaryDirectory() as tmp:
        raw = Path(tmp, "in.bin")
        raw.write_bytes(image)
        out = Path(tmp, "out.tbin")
        header_path = None
        if header is not None:
            header_path = Path(tmp, "header")
            header_path.write_bytes(header)
        KRXFlash._pack_image(
            str(raw),
            str(out),
            header_path=None if header_path is None else str(header_path),
            image_start=image_start,
        )
        return out.read_bytes()


def _by_hand(header: bytes, image: bytes = b"", fields: Optional[tuple] = None) -> bytes:
    header_length, image_length, image_start = fields or (
        len(header),
        len(image),
        80 + len(header),
    )
    return (
        _u32(header_length)
        + _u32(image_length)
        + _u32(image_start)
        + bytes(4)
        + b"\x11" * 32
        + b"\x22" * 32
        + header
        + image
    )


def main() -> None:
    image = bytes(range(64))
    seeds: Dict[str, bytes] = {
        "packed-default": _packed(None, image),
        "packed-list": _packed(b'{"DEV_TYPE": [32, 28], "version": "1.0"}', image),
        "packed-text-list": _packed(b'{"dev_type": ["100", "28", " 7 "]}', image),
        "packed-padded": _packed(b'\0\0{"DEV_TYPE": 32}\0\0\0', image),
        "packed-gap": _packed(None, image, image_start=200),
        "packed-float": _packed(b'{"DEV_TYPE": 1e300, "dev_type": 28}', image),
        "packed-unicode-digits": _packed('{"DEV_TYPE": "\u0663\u0662"}'.encode(), image),
        "packed-underscore": _packed(b'{"DEV_TYPE": "1_000"}', image),
        "packed-bools": _packed(b'{"DEV_TYPE": [true, 0.5, 1, -2]}', image),
        "packed-empty-list": _packed(b'{"DEV_TYPE": [], "dev_type": []}', b""),
        "short-prefix": b"\0\0\0\x10\0\0",
        "prefix-only": _u32(16) + _u32(0) + _u32(96) + bytes(68),
        "all-nul-header": _by_hand(bytes(16)),
        "invalid-utf8": _by_hand(b'{"DEV_TYPE": "\xff"}'),
        "array-header": _by_hand(b"[32, 28]"),
        "missing-devtype": _by_hand(b'{"name": "x"}'),
        "unsortable": _by_hand(b'{"DEV_TYPE": [1, "2", null]}'),
        "nested": _by_hand(b'{"a": [[[[{"b": [1, 2, {"c": null}]}]]]], "DEV_TYPE": 5}'),
        "hex-digests": _u32(16)
        + _u32(0)
        + _u32(96)
        + bytes(4)
        + b"ab" * 32
        + json.dumps({"DEV_TYPE": 32}).encode(),
        "huge-fields": _by_hand(b'{"DEV_TYPE": 32}', b"x", (0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFF0)),
        "header-only-json": b'{"DEV_TYPE": ["32", 28.5, -0.0, "\\u0085 9"]}',
    }
    if OUT.exists():
        shutil.rmtree(OUT)
    OUT.mkdir(parents=True)
    for name, data in seeds.items():
        (OUT / name).write_bytes(data)
    print(f"wrote {len(seeds)} seeds to {OUT}")


if __name__ == "__main__":
    main()
