"""The image commands of ``kestrix-flash``, which need no device: ``pack`` wraps a raw image into a
tbin, ``check`` runs the update's file checks (and with ``--trust-key`` its signature check),
``keygen`` makes an Ed25519 key pair and ``sign`` writes IMAGE.sig, an image's detached signature.

Each command is one ``_register_*`` function that adds its subparser and sets ``func`` to its
``_cmd_*`` handler; ``register`` adds them all, in the order ``--help`` lists them.
"""

import argparse
from typing import Any, Dict, List, Optional, Tuple

from kestrix import _core
from kestrix.tools.cli_support import (
    EXIT_FAILED,
    EXIT_OK,
    EXIT_USAGE,
    add_device_type,
    add_quiet,
    add_trust_keys,
    error_line,
    exit_status,
    failure_named,
    offset_argument,
    print_json,
    shown,
)

__all__ = ["register"]


def register(subparsers: Any) -> None:
    """Adds ``pack``, ``check``, ``keygen`` and ``sign`` to the tool's subcommands."""
    _register_pack(subparsers)
    _register_check(subparsers)
    _register_keygen(subparsers)
    _register_sign(subparsers)


def _flash_module() -> Any:
    # Imported on use: --help and usage errors need no extension module.
    from kestrix import KRXFlash

    return KRXFlash


# --- pack ---------------------------------------------------------------------------------------


def _register_pack(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "pack",
        help="wrap a raw image into a tbin file",
        description="Wrap a raw FPGA image into a tbin file whose header and image digests the "
        "update's header check accepts. The output must end in .tbin and must not be the image "
        "itself; it appears only once it is complete.",
    )
    parser.add_argument("image", metavar="IMAGE.bin", help="the raw image")
    parser.add_argument("out", metavar="OUT.tbin", help="the tbin file to write")
    parser.add_argument(
        "--header",
        metavar="FILE",
        help='header text region, taken verbatim (default: {"DEV_TYPE": N})',
    )
    add_device_type(parser, "device type of the default header")
    parser.add_argument(
        "--image-start",
        metavar="OFFSET",
        type=offset_argument,
        default=None,
        help="file offset of the image; zero bytes fill any gap (default: right after the header)",
    )
    parser.add_argument(
        "--fpga-version",
        metavar="V",
        help="FPGA version the image declares (header key FPGA_VER), such as 0.3.0.0; tools "
        "compare it with the version a device runs (default: none; not with --header)",
    )
    parser.add_argument(
        "--sign-key",
        metavar="KEY",
        help="also sign the packed file with this private key, writing OUT.tbin.sig "
        "(default: no signature)",
    )
    _add_json_and_quiet(parser)
    parser.set_defaults(func=_cmd_pack)


def _cmd_pack(args: argparse.Namespace) -> int:
    if args.sign_key is not None:
        # A key that cannot sign stops the command before anything is written.
        try:
            _core.private_key_id(args.sign_key)
        except (ValueError, OSError) as error:
            error_line("pack", str(error))
            return EXIT_USAGE
    try:
        info: Dict[str, Any] = _flash_module()._pack_image(
            args.image,
            args.out,
            header_path=args.header,
            dev_type=args.device_type,
            image_start=args.image_start,
            fpga_version=args.fpga_version,
        )
    except ValueError as error:
        error_line("pack", str(error))
        return EXIT_USAGE
    except OSError as error:
        # The inputs' faults are usage errors; failing to write the output is not.
        error_line("pack", str(error))
        return EXIT_USAGE if error.filename in (args.image, args.header) else EXIT_FAILED
    signed: Optional[Dict[str, Any]] = None
    if args.sign_key is not None:
        status, signed = _sign("pack", args.out, args.sign_key)
        if signed is None:
            return status
    if args.json:
        signature = None if signed is None else _with_shown_path(signed)
        print_json({"path": shown(args.out), **info, "signature": signature})
        return EXIT_OK
    print(
        f"{shown(args.out)}: tbin, {info['file_size']} bytes, header {info['header_length']} "
        f"bytes, image {info['image_length']} bytes at offset {info['image_start']}, "
        f"device type {info['device_type'] or '(none)'}"
        + (f", FPGA version {info['fpga_version']}" if info["fpga_version"] else "")
    )
    if signed is not None and not args.quiet:
        print(_signed_line(signed))
    return EXIT_OK


def _add_json_and_quiet(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    add_quiet(parser)


# --- keygen and sign ----------------------------------------------------------------------------


def _register_keygen(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "keygen",
        help="make an Ed25519 key pair for signing images",
        description="Make an Ed25519 key pair: the private key to KEY (PEM, mode 0600; keep it "
        "secret) and the public key to KEY.pub (give it to those who check images, for "
        "--trust-key). Neither file may exist.",
    )
    parser.add_argument("key", metavar="KEY", help="where the private key goes")
    _add_json_and_quiet(parser)
    parser.set_defaults(func=_cmd_keygen)


def _cmd_keygen(args: argparse.Namespace) -> int:
    try:
        made = _core.generate_key(args.key)
    except OSError as error:
        error_line("keygen", str(error))
        return EXIT_USAGE if isinstance(error, FileExistsError) else EXIT_FAILED
    if args.json:
        print_json(
            {
                **made,
                "private_key": shown(made["private_key"]),
                "public_key": shown(made["public_key"]),
            }
        )
        return EXIT_OK
    print(f"key id: {made['key_id']} (short: {made['short_key_id']})")
    if args.quiet:
        return EXIT_OK
    print(f"private key: {shown(made['private_key'])} (mode 0600: keep it secret)")
    print(f"public key: {shown(made['public_key'])} (for --trust-key)")
    return EXIT_OK


def _register_sign(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "sign",
        help="sign an image, writing IMAGE.sig",
        description="Sign an image that passes the update's checks: IMAGE.sig binds the bytes "
        "an update programs, the FPGA version and the device types to the key. It appears only "
        "once complete and replaces an older one.",
    )
    parser.add_argument("image", metavar="IMAGE", help="a .bin or .tbin image")
    parser.add_argument(
        "--key", metavar="KEY", required=True, help="the private key (from keygen or openssl)"
    )
    _add_json_and_quiet(parser)
    parser.set_defaults(func=_cmd_sign)


def _sign(command: str, image: str, key: str) -> Tuple[int, Optional[Dict[str, Any]]]:
    """Signs `image`; (EXIT_OK, the signed fields), or (the exit status, None) after the error
    line."""
    try:
        return EXIT_OK, dict(_core.sign_image(image, key))
    except ValueError as error:
        error_line(command, str(error))
        return EXIT_USAGE, None
    except OSError as error:
        # A missing image or key is the caller's; failing to write IMAGE.sig is not.
        error_line(command, str(error))
        return (EXIT_USAGE if error.filename in (image, key) else EXIT_FAILED), None


def _with_shown_path(signed: Dict[str, Any]) -> Dict[str, Any]:
    return {**signed, "signature_path": shown(signed["signature_path"])}


def _signed_line(signed: Dict[str, Any]) -> str:
    return (
        f"{shown(signed['signature_path'])}: signed by {signed['short_key_id']} "
        f"(key id {signed['key_id']})"
    )


def _cmd_sign(args: argparse.Namespace) -> int:
    status, signed = _sign("sign", args.image, args.key)
    if signed is None:
        return status
    if args.json:
        print_json(_with_shown_path(signed))
        return EXIT_OK
    print(_signed_line(signed))
    if not args.quiet:
        print(f"image: {signed['image_size']} bytes, sha256 {signed['image_sha256']}")
    return EXIT_OK


# --- check --------------------------------------------------------------------------------------


def _register_check(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "check",
        help="run the update's file checks on an image",
        description="Run the update's file and header checks on an image file, without a "
        "device, and show its signature. Exit status 0 when the image passes; 2, as update "
        "says, when it is missing, damaged or made for another device type, or when trusted "
        "keys are given and its signature is refused.",
    )
    parser.add_argument("image", metavar="IMAGE", help="a .bin or .tbin image")
    add_device_type(
        parser, "also check that a tbin is made for this device type (default: any)", default=None
    )
    add_trust_keys(
        parser,
        "an Ed25519 public key whose signature (IMAGE.sig) the image must carry, as an "
        "update given it requires; repeat for several; a refused signature exits with 2 "
        "(default: none: the signature is shown, not required)",
    )
    loudness = parser.add_mutually_exclusive_group()
    loudness.add_argument(
        "-v", "--verbose", action="store_true", help="also print every message the checks log"
    )
    add_quiet(loudness)
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    parser.set_defaults(func=_cmd_check)


def _digest_text(ok: Optional[bool]) -> str:
    if ok is None:
        return "not checked"
    return "ok" if ok else "MISMATCH"


def _report_lines(report: Dict[str, Any], signature: Optional[Dict[str, Any]]) -> List[str]:
    lines = [f"file: {shown(report['path'])}", f"kind: {report['kind'] or 'unknown'}"]
    if report["file_size"] is not None:
        lines.append(f"size: {report['file_size']} bytes")
    if report["header_length"] is not None:
        lines.append(f"header length: {report['header_length']} bytes")
        image = f"image length: {report['image_length']} bytes at offset {report['image_start']}"
        if report["image_region_size"] != report["image_length"]:
            image += f" (the file holds {report['image_region_size']} of them)"
        lines.append(image)
    if report["device_type"] is not None:
        lines.append(f"device type: {report['device_type'] or '(empty list)'}")
    if report["kind"] == "tbin" and report["header"] is not None:
        lines.append(f"image version: {report['fpga_version'] or '(none declared)'}")
    if report["header_digest_ok"] is not None:
        lines.append(f"header digest: {_digest_text(report['header_digest_ok'])}")
        lines.append(f"image digest: {_digest_text(report['image_digest_ok'])}")
    if signature is not None:
        lines.append(f"signature: {signature['message']}")
    if not report["passed"]:
        lines.append(f"result: FAIL: {report['failure']}")
    elif signature is not None and not signature["accepted"]:
        lines.append(f"result: FAIL: {signature['message']}")
    else:
        lines.append("result: PASS")
    return lines


def _cmd_check(args: argparse.Namespace) -> int:
    # Trusted keys that cannot be used are a usage error, whatever the image holds.
    try:
        for key in args.trust_keys:
            _core.public_key_id(key)
    except (ValueError, OSError) as error:
        error_line("check", str(error))
        return EXIT_USAGE
    report: Dict[str, Any] = _flash_module()._inspect_image(
        args.image, device_type=args.device_type
    )
    status = EXIT_OK if report["passed"] else exit_status(failure_named(report["failure_kind"]))
    signature: Optional[Dict[str, Any]] = None
    if report["passed"]:
        try:
            signature = dict(_core.check_signature(args.image, args.trust_keys))
        except (ValueError, OSError) as error:
            # The image changed since it passed a moment ago.
            error_line("check", str(error))
            return EXIT_FAILED
        if not signature["accepted"]:
            status = EXIT_USAGE
    if args.json:
        shown_signature = None if signature is None else _with_shown_path(signature)
        print_json(
            {
                **report,
                "path": shown(report["path"]),
                "signature": shown_signature,
                "exit_status": status,
            }
        )
        return status
    if args.verbose:
        for level, text in report["messages"]:
            print(f"[{level}] {text}")
    lines = _report_lines(report, signature)
    for line in lines[-1:] if args.quiet else lines:
        print(line)
    return status
