// Decoding of MIME encoded words ("=?charset?encoding?payload?=") in a
// header value to Windows-1251 text: the first word in a few fixed charsets
// with KOI8-R conversion, and every word of a subject in any charset through
// iconv. Free functions without state; none of them fails.
#pragma once

#include <string>
#include <vector>

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

// Decodes every RFC 2047 encoded word of an unfolded header value to
// Windows-1251: "b" and "q" (where "_" is a blank) in any charset the C
// library's iconv knows, the charset name compared without regard to case
// and with an RFC 2231 language suffix ("utf-8*ru") allowed. Whitespace
// between two encoded words is dropped, other text is kept as it is, and a
// malformed word or one in an unknown charset stays as it stands. Adjacent
// words of one charset are converted together, so a character split between
// them comes out whole. A character Windows-1251 lacks becomes one "?", and
// so does every invalid sequence of the charset; a control character (CR, LF,
// TAB, NUL...) becomes a blank. Sets *Decoded (when given) to whether any
// word was decoded.
std::string DecodeEncodedWords(const std::string& Text, bool* Decoded = nullptr);

// A header value as the program shows it and the lists match it: a TAB
// becomes a blank and every other control character (NUL, a bare CR...) is
// dropped; then a value that is valid UTF-8 with anything beyond ASCII (raw
// UTF-8 in a header, RFC 6532) is converted to Windows-1251 as an encoded
// UTF-8 word is, "?" for a character the code page lacks. Other bytes
// (Windows-1251 and other 8-bit mail) stay as they are.
std::string ShownHeaderValue(const std::string& Text);

// The subject as the message list shows it. When DecodeHeaderText recognises
// one of its openings in Subject (the first physical line of the header, as
// the summary holds it), its result. Otherwise the last "Subject:" line of
// Header (lines without line ends) and its continuation lines are unfolded,
// trimmed of blanks, made a shown value (ShownHeaderValue) and given to
// DecodeEncodedWords; when that decodes no word at all, the shown value of
// Subject.
std::string DecodeSubject(const std::vector<std::string>& Header, const std::string& Subject);
