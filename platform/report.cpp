#include "platform/report.h"

#include <cstdio>

namespace mg {

namespace {
std::function<void(const std::string&)>& Handler() {
    static std::function<void(const std::string&)> handler;
    return handler;
}
}  // namespace

std::string ErrorReportText(const std::string& message) {
    std::string text = message;
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) text += '.';
    return text;
}

void SetErrorHandler(std::function<void(const std::string& text)> handler) { Handler() = std::move(handler); }

void ShowError(const std::string& message) {
    const std::string text = ErrorReportText(message);
    if (Handler())
        Handler()(text);
    else
        std::fprintf(stderr, "Mailgrove: %s\n", text.c_str());
}

void ShowException(const std::exception& error) { ShowError(error.what()); }

}  // namespace mg
