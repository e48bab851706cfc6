// Text helpers shared by the core: strict UTF-8 and the printable form of byte strings.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix {

// Throws DecodeError unless `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, no
// code points above U+10FFFF).
void requireUtf8(std::string_view bytes);
bool isUtf8(std::string_view bytes);

// Where `bytes` stops being well-formed UTF-8 and why, worded for a person holding the file
// rather than as a decoder words it: offset 2, "0x99 cannot begin a character".
struct Utf8Fault {
  std::size_t offset;
  std::string reason;
};
std::optional<Utf8Fault> findUtf8Fault(std::string_view bytes);

// The escaped printable form of a byte string, as Python writes a bytes object: b'ab\r\n\x00'.
std::string bytesRepr(std::string_view bytes);

// `bytes` with every byte that is not part of well-formed UTF-8 written as \xNN, so that text
// quoting raw input (paths, replies) is always valid text for a log or a JSON record.
std::string escapeNonUtf8(std::string_view bytes);
// escapeNonUtf8 that also writes ASCII control characters as \xNN: input quoted in a message
// can then neither break its line nor send a terminal escape sequence.
std::string printableText(std::string_view bytes);

// Seconds as people write them: 10, 0.5, 2.25 (no trailing zeros).
std::string secondsText(double seconds);

// Leading and trailing ASCII white space removed, as Python strips text.
std::string_view stripWhitespace(std::string_view text);

}  // namespace kestrix
