"""Writes the seed corpus of the signature fuzzer into fuzz/corpus/signature/.

Each seed is a signature document as IMAGE.sig holds it, or one a step away from being one, so
the search starts at every refusal of the parser. The fuzzer also builds a document from a seed's
bytes, so any bytes serve that half.
    python fuzz/make_signature_corpus.py
"""

import shutil
from pathlib import Path
from typing import Dict, List, Tuple

OUT = Path(__file__).resolve().parent / "corpus" / "signature"


def _lines(**changes: str) -> List[Tuple[str, str]]:
    fields = {
        "kestrix-image-signature": "1",
        "algorithm": "ed25519",
        "key-id": "21fe31dfa154a261626bf854046fd2271b7bed4b6abe45aa58877ef47f9721b9",
        "image-size": "4096",
        "image-sha256": "ad7facb2586fc6e966c004d7d1d16b024f5805ff7cb47c7a85dabd8b48892ca7",
        "fpga-version": "0.3.0.0",
        "device-types": "28,32",
        "signed-at": "2026-01-31T12:00:00Z",
        "signature": bytes(range(64)).hex(),
    }
    fields.update({key.replace("_", "-"): value for key, value in changes.items()})
    return list(fields.items())


def _text(lines: List[Tuple[str, str]]) -> bytes:
    return "".join(f"{key}: {value}\n" for key, value in lines).encode()


def _seeds() -> Dict[str, bytes]:
    valid = _text(_lines())
    reordered = _lines()
    reordered[1], reordered[2] = reordered[2], reordered[1]
    return {
        "valid-tbin": valid,
        "valid-raw": _text(_lines(fpga_version="-", device_types="-", image_size="0")),
        "valid-large-fields": _text(
            _lines(
                image_size=str(2**64 - 1),
                fpga_version="18446744073709551615.0.1",
                device_types="-5,0," + "9" * 301,
            )
        ),
        "carriage-returns": valid.replace(b"\n", b"\r\n"),
        "no-final-line-feed": valid[:-1],
        "truncated": valid[:200],
        "reordered": _text(reordered),
        "repeated": _text(_lines()[:3] + _lines()[1:]),
        "missing": _text(_lines()[:4] + _lines()[5:]),
        "unknown-key": valid.replace(b"algorithm:", b"algorithms:"),
        "format-version-2": _text(_lines(kestrix_image_signature="2")),
        "unknown-algorithm": _text(_lines(algorithm="rsa")),
        "extra-line": valid + b"comment: x\n",
        "not-utf8": valid.replace(b"0.3.0.0", b"0.3.0.\xff"),
        "oversized": valid + b"#" * 4096,
        "bad-values": _text(
            _lines(
                image_size="04096",
                fpga_version="0.03",
                device_types="032,,-0",
                signed_at="2026-02-29T24:00:00Z",
            )
        ),
    }


def main() -> None:
    shutil.rmtree(OUT, ignore_errors=True)
    OUT.mkdir(parents=True)
    seeds = _seeds()
    for name, data in sorted(seeds.items()):
        (OUT / name).write_bytes(data)
    print(f"{len(seeds)} seeds in {OUT}")


if __name__ == "__main__":
    main()
