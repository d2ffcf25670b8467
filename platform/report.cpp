#include "platform/report.h"

#include "platform/dialogs.h"

namespace mg {

std::string ErrorReportText(const std::string& message) {
    std::string text = message;
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) text += '.';
    return text;
}

void ShowError(const std::string& message) {
    ShowMessage(ErrorReportText(message), Icon::Error, Buttons::Ok);
}

void ShowException(const std::exception& error) { ShowError(error.what()); }

}  // namespace mg
