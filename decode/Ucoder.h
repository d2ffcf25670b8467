// Decoding of a MIME encoded word ("=?charset?encoding?payload?=") in a
// header value to Windows-1251 text, with KOI8-R conversion. Free functions
// without state; none of them fails.
#pragma once

#include <string>

// Decodes the first encoded word of a header value. Recognised are the
// charsets unknown, windows-1251, iso-8859-1, iso-8859-2 and koi8-r, each
// with "b" (base64) or "q" (quoted-printable), in any letter case. Only the
// first word's payload is returned; the text around it is dropped. A value
// without a recognised opening comes back unchanged. The bytes are converted
// from KOI8-R when "koi8-r" occurs anywhere in the value, and are otherwise
// taken as Windows-1251 whatever the label says.
std::string DecodeHeaderText(const std::string& Text);

// Standard base64 in groups of four characters; characters outside the
// alphabet count as 0, a trailing "=" or "==" shortens the group, and an
// incomplete last group is ignored. No validation.
std::string Base64Decode(const std::string& Text);

// One UTF-16 character per KOI8-R byte; the result has the input's length.
std::u16string KoiToWide(const std::string& Text);

// One Windows-1251 byte per character; a character the code page lacks
// becomes "?".
std::string WideToAnsi(const std::u16string& Text);

// KOI8-R bytes to Windows-1251 bytes, one for one: WideToAnsi(KoiToWide(Text)).
std::string KoiToAnsi(const std::string& Text);
