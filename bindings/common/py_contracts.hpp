// Conversions between the core's contract types and the package's Python sibling modules.
// Every function here needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/json.hpp"
#include "kestrix/contracts/ret_type.hpp"
#include "kestrix/contracts/rsp_type.hpp"

namespace kestrix::py {

namespace pyb = pybind11;

// Imports `module` and returns its attribute `name`; a missing one raises ImportError naming both.
pyb::object siblingName(const char* module, const char* name);

// The UTF-8 bytes of a str, encoded strictly: an unencodable text raises UnicodeEncodeError.
std::string utf8Text(pyb::handle text);

// A file-system path (str, bytes or os.PathLike) as the bytes the operating system sees, the way
// open() encodes it (os.fsencode): a file name that is not UTF-8 reaches its file.
std::string pathBytes(pyb::handle path);
// A sequence of such paths (a list, a tuple, ...) as their bytes; a single str or bytes, which
// would iterate by character, raises TypeError naming `name`.
std::vector<std::string> pathList(pyb::handle paths, const char* name);
// The Python text of such bytes (os.fsdecode), so the round trip gives the caller's path back.
pyb::object pathObject(const std::string& bytes);

// Text for people (log messages, reports) from bytes that quote paths and replies byte for byte:
// bytes that are not UTF-8 are shown escaped (\xff) instead of failing.
pyb::str displayText(std::string_view bytes);

// JSON to Python: objects become dicts in key order, arrays lists, null None.
pyb::object toPython(const Json& value);

// kestrix.KRXUtils.RetCode member for `code`, and back (by member name).
pyb::object pyRetCode(RetCode code);
RetCode retCodeFrom(pyb::handle member);

// kestrix.KRXUtils._RspType member for `type`, and back (by member name).
pyb::object pyRspType(RspType type);
RspType rspTypeFrom(pyb::handle member);

// kestrix.KRXUtils.RetType built the way the calling operation documents: with no message and no
// code, only `data=`, when `data_only`; otherwise (code, message[, data]).
pyb::object makeRetType(const RetType& ret, bool data_only = false);

// The OSError a FileError stands for: the subclass its errno selects, with the file name.
pyb::object osError(const FileError& error);

// Maps the core's exceptions to Python's: ConnectionError and TimeoutError to the built-ins,
// DecodeError to UnicodeDecodeError, ProtocolError to kestrix.errors.DeviceProtocolError,
// BlockRefusedError to kestrix.errors.BlockRefusedError, FileError to OSError (the subclass its
// errno selects, with the file name), CancelledError to kestrix.errors.CancelledError,
// InvalidKeyError (a key file of no use) and ImageCheckError (an image that fails its checks) to
// ValueError.
void registerExceptionTranslators();

}  // namespace kestrix::py
