#include "lists/AuthResults.h"

#include <cstring>

#include "platform/strutil.h"

namespace mg {

namespace {

constexpr std::string_view kFieldName = "authentication-results";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsKeywordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '_';
}
// A token character of a MIME value: no blank, control or special.
bool IsTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 32 && u != 127 && std::strchr("()<>@,;:\\\"/[]?=", c) == nullptr;
}

// The topmost Authentication-Results field of the header block, unfolded
// (line ends dropped, the blanks that start its continuation lines kept),
// without its name and colon. False when the header has no such field.
bool TopmostField(const std::string& block, std::string& value) {
    bool found = false;
    for (size_t at = 0; at < block.size();) {
        size_t end = block.find('\n', at);
        if (end == std::string::npos) end = block.size();
        std::string_view line(block.data() + at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (found) {
            if (!continuation) break;
            value += line;
            continue;
        }
        if (line.empty()) break;  // the end of the header
        if (continuation || line.size() <= kFieldName.size() ||
            !EqualsNoCase(line.substr(0, kFieldName.size()), kFieldName))
            continue;
        size_t colon = kFieldName.size();
        while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t')) ++colon;
        if (colon < line.size() && line[colon] == ':') {
            value.assign(line.substr(colon + 1));
            found = true;
        }
    }
    return found;
}

// Reads the unfolded field value left to right.
class Reader {
public:
    explicit Reader(std::string_view text) : s_(text) {}

    bool AtEnd() const { return i_ >= s_.size(); }
    char Peek() const { return AtEnd() ? '\0' : s_[i_]; }
    bool Take(char c) {
        if (AtEnd() || s_[i_] != c) return false;
        ++i_;
        return true;
    }

    // Blanks and comments. A comment nests and quotes any character after a
    // backslash; one left open runs to the end.
    void SkipCfws() {
        size_t depth = 0;
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (depth == 0 && IsBlank(c)) {
                ++i_;
                continue;
            }
            if (depth == 0 && c != '(') return;
            ++i_;
            if (c == '(') ++depth;
            else if (c == ')') --depth;
            else if (c == '\\' && i_ < s_.size()) ++i_;
        }
    }

    std::string_view Keyword() { return Run(IsKeywordChar); }
    std::string_view Digits() { return Run(IsDigit); }

    // A MIME value: a token, or a quoted string given without its quotes
    // and backslashes.
    std::string Value() {
        if (Peek() == '"') return QuotedString();
        return std::string(Run(IsTokenChar));
    }

    // A property's value as far as a blank, comment or ";": tokens, "@",
    // "." and quoted strings alike.
    std::string PropertyValue() {
        std::string value;
        while (!AtEnd() && !IsBlank(s_[i_]) && s_[i_] != '(' && s_[i_] != ';') {
            if (s_[i_] == '"') value += QuotedString();
            else value += s_[i_++];
        }
        return value;
    }

    // On to the next ";" that is not inside a comment or a quoted string.
    void SkipToSemicolon() {
        for (;;) {
            SkipCfws();
            if (AtEnd() || Peek() == ';') return;
            if (Peek() == '"') QuotedString();
            else ++i_;
        }
    }

private:
    std::string_view Run(bool (*accept)(char)) {
        const size_t start = i_;
        while (i_ < s_.size() && accept(s_[i_])) ++i_;
        return s_.substr(start, i_ - start);
    }

    // From the opening quote to the closing one (or the end).
    std::string QuotedString() {
        std::string text;
        ++i_;
        while (i_ < s_.size() && s_[i_] != '"') {
            if (s_[i_] == '\\' && i_ + 1 < s_.size()) ++i_;
            text += s_[i_++];
        }
        if (i_ < s_.size()) ++i_;
        return text;
    }

    std::string_view s_;
    size_t i_ = 0;
};

int Rank(DmarcVerdict::Result result) {
    if (result == DmarcVerdict::Fail) return 2;
    return result == DmarcVerdict::Pass ? 1 : 0;
}

// One resinfo after its ";": "method[/version] = result", then "reason=" and
// "ptype.property=" pairs. A dmarc result outranking `verdict`'s replaces it.
void ReadResult(Reader& in, DmarcVerdict& verdict, bool& anyDmarc) {
    in.SkipCfws();
    const std::string method = LowerAscii(in.Keyword());
    in.SkipCfws();
    if (in.Take('/')) {
        in.SkipCfws();
        in.Digits();
        in.SkipCfws();
    }
    if (method.empty() || !in.Take('=')) {  // the no-result "none" as well
        in.SkipToSemicolon();
        return;
    }
    in.SkipCfws();
    const std::string result = LowerAscii(in.Keyword());
    if (result.empty()) {
        in.SkipToSemicolon();
        return;
    }
    std::string from;
    for (;;) {
        in.SkipCfws();
        if (in.AtEnd() || in.Peek() == ';') break;
        const std::string ptype = LowerAscii(in.Keyword());
        std::string property;
        in.SkipCfws();
        if (!ptype.empty() && in.Take('.')) {
            in.SkipCfws();
            property = LowerAscii(in.Keyword());
            in.SkipCfws();
        }
        if (ptype.empty() || !in.Take('=')) {
            in.SkipToSemicolon();
            break;
        }
        in.SkipCfws();
        std::string value = in.PropertyValue();
        if (ptype == "header" && property == "from") from = std::move(value);
    }
    if (method != "dmarc") return;
    DmarcVerdict::Result read = DmarcVerdict::None;
    if (result == "pass") read = DmarcVerdict::Pass;
    if (result == "fail") read = DmarcVerdict::Fail;
    if (anyDmarc && Rank(read) <= Rank(verdict.result)) return;
    anyDmarc = true;
    verdict.result = read;
    verdict.text = result;
    const size_t at = from.rfind('@');
    verdict.domain = at == std::string::npos ? from : from.substr(at + 1);
}

}  // namespace

bool AuthservMatches(std::string_view pattern, std::string_view authservId) {
    const std::string trimmed = Trim(pattern);
    if (trimmed.empty() || authservId.empty()) return false;
    const std::string_view p = trimmed;
    if (p.size() > 2 && p.substr(0, 2) == "*.") {
        const std::string_view rest = p.substr(1);  // ".rest"
        return authservId.size() > rest.size() &&
               EqualsNoCase(authservId.substr(authservId.size() - rest.size()), rest);
    }
    return EqualsNoCase(p, authservId);
}

DmarcVerdict ReadTopmostVerdict(const std::string& rawHeaderBlock) {
    DmarcVerdict verdict;
    std::string value;
    if (!TopmostField(rawHeaderBlock, value)) return verdict;
    Reader in(value);
    in.SkipCfws();
    std::string id = in.Value();
    in.SkipCfws();
    if (!in.Digits().empty()) in.SkipCfws();  // the authres-version
    // An id must be followed by the results or nothing: a field that starts
    // with "spf=pass" names no authserv-id at all.
    if (!in.AtEnd() && in.Peek() != ';') return verdict;
    verdict.authservId = std::move(id);
    bool anyDmarc = false;
    while (in.Take(';')) ReadResult(in, verdict, anyDmarc);
    return verdict;
}

DmarcVerdict Trust(DmarcVerdict topmost, std::string_view authserv) {
    topmost.trusted = AuthservMatches(authserv, topmost.authservId);
    if (!topmost.trusted) {
        topmost.result = DmarcVerdict::None;
        topmost.domain.clear();
        topmost.text.clear();
    }
    return topmost;
}

DmarcVerdict ReadDmarcVerdict(const std::string& rawHeaderBlock, const std::string& authserv) {
    return Trust(ReadTopmostVerdict(rawHeaderBlock), authserv);
}

}  // namespace mg
