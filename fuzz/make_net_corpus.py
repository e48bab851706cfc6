"""Writes the seed corpora of the link fuzzers into fuzz/corpus/sim_command/ and
fuzz/corpus/reply_frame/.

sim_command: byte 0 seeds the sizes of the pieces the stream arrives in; the rest is what a
controller receives. reply_frame: bytes 0-3 pick the limits (byte 0 = 0: the connection's own),
the rest is what the device sends back.
    python fuzz/make_net_corpus.py
"""

import shutil
from pathlib import Path
from typing import Dict

ROOT = Path(__file__).resolve().parent / "corpus"
CRLF = b"\r\n"


def _block(data: bytes) -> bytes:
    """A definite-length block: '#', the digit count, the length, the data."""
    length = str(len(data)).encode()
    return b"#" + str(len(length)).encode() + length + data


def _program(data: bytes, end: bytes = CRLF) -> bytes:
    return b"FPGA_PROGRAM " + _block(data) + end


def _limits(max_length: int, max_line: int, max_drained: int) -> bytes:
    """Small limits for the reply frame fuzzer (max_length below 4096, the others below 256).

    The fuzzer takes max_length as the first two bytes modulo 4096; 0x10 in the high byte keeps
    byte 0 from being 0 (which means the connection's own limits) without changing the value.
    """
    return bytes([0x10 | (max_length >> 8), max_length & 0xFF, max_line, max_drained])


DEFAULT_LIMITS = bytes(4)
PAGE = bytes(range(16))
LINE_END_PAGE = b"\r\n\n\r#216\x00\xff\r\nxy\n\n"


def _sim_command_seeds() -> Dict[str, bytes]:
    update = b"".join(
        line + CRLF
        for line in (
            b"FPGA_CTRL_INIT",
            b"FPGA_GET_ID",
            b"GET_FPGA_VER",
            b"FPGA_CFG_MODE TRANS",
            b"FPGA_ERASE 14",
            b"FPGA_RST_PAGE_PTR CFG",
        )
    )
    update += _program(PAGE) + _program(LINE_END_PAGE)
    update += b"FPGA_RST_PAGE_PTR CFG\r\nFPGA_READ\r\nFPGA_READ\r\n"
    update += b"FPGA_DONE\r\nREINIT_RF_MODULE\r\n"
    return {
        "update": b"\x01" + update,
        "update-other-pieces": b"\x7f" + update,
        "debug-queries": b"\x02SIM_FLASH_SHA256? 32\r\nSIM_STATS?\nGET_FE_INFO\r\n",
        "lf-only": b"\x03FPGA_GET_ID\nFPGA_ERASE 12\n" + _program(PAGE, b"\n"),
        "program-short-block": b"\x04" + _program(b"abc") + _program(b""),
        "program-nine-digits": b"\x05FPGA_PROGRAM #9000000004wxyz\r\n",
        "program-no-line-end": b"\x06" + _program(PAGE, b"XY") + b"FPGA_DONE\r\n",
        "program-cr-then-junk": b"\x07" + _program(PAGE, b"\rZ\n") + b"FPGA_DONE\r\n",
        "program-bad-header": b"\x08FPGA_PROGRAM #x16\r\nFPGA_PROGRAM #0\r\nFPGA_DONE\r\n",
        "program-too-large": b"\x09FPGA_PROGRAM #6999999\r\nFPGA_DONE\r\n",
        "program-truncated": b"\x0aFPGA_PROGRAM #216abc",
        "program-prefix-only": b"\x0bFPGA_PROGRA",
        "program-word-alone": b"\x0cFPGA_PROGRAM\r\nFPGA_PROGRAM x\r\n",
        "empty-commands": b"\x0d\r\n\n \r\nX\r\n",
        "long-line": b"\x0e" + b"A" * 4200 + b"\r\nFPGA_DONE\r\n",
        "long-line-open": b"\x0f" + b"B" * 4100,
        "spaces-and-nul": b"\x10FPGA_ERASE  14 \r\nGET\x00SN\r\n\xff\xfe\r\n",
    }


def _reply_frame_seeds() -> Dict[str, bytes]:
    page = _block(PAGE) + CRLF
    return {
        "page-frames": DEFAULT_LIMITS + page + _block(LINE_END_PAGE) + CRLF,
        "text-lines": DEFAULT_LIMITS + b"0\r\nERR read past the end of flash\r\n0x0362D093\n",
        "mixed": DEFAULT_LIMITS + b"0\r\n" + page + b"\r\n" + page,
        "empty-block": DEFAULT_LIMITS + b"#10\r\n#15abcde\r\n",
        "nine-digits": DEFAULT_LIMITS + b"#9000000003abc\r\n",
        "block-no-crlf": DEFAULT_LIMITS + b"#14abcdXYNEXT\r\n",
        "block-lf-only": DEFAULT_LIMITS + b"#14abcd\nZ",
        "bad-headers": DEFAULT_LIMITS + b"#0\r\n#2x5abc\r\n#5\nabcd\r\nNEXT\r\n",
        "truncated-block": DEFAULT_LIMITS + b"#216abc",
        "small-limit-line": _limits(8, 16, 8) + b"0123456789\r\nOK\r\n",
        "small-limit-block": _limits(20, 16, 8) + page + b"#15abcde\r\nOK\r\n",
        "huge-block-small-drain": _limits(20, 16, 8) + b"#3999abc",
        "no-line-end": _limits(8, 16, 8) + b"x" * 40,
        "malformed-long-line": _limits(64, 8, 8) + b"#x" + b"y" * 20 + b"\r\n",
    }


def _write(name: str, seeds: Dict[str, bytes]) -> None:
    out = ROOT / name
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    for file_name, data in sorted(seeds.items()):
        (out / file_name).write_bytes(data)
    print(f"{len(seeds)} seeds in {out}")


def main() -> None:
    _write("sim_command", _sim_command_seeds())
    _write("reply_frame", _reply_frame_seeds())


if __name__ == "__main__":
    main()
