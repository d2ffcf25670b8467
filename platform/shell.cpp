#include "platform/shell.h"

#include <QDesktopServices>
#include <QUrl>

namespace mg {
namespace {
std::function<bool(const std::string&)> g_fake;
}  // namespace

void SetShellForTest(std::function<bool(const std::string& request)> fake) { g_fake = std::move(fake); }

bool ShellOpen(const std::string& target) {
    if (g_fake) return g_fake("open " + target);
    const QString text = QString::fromLocal8Bit(target.c_str());
    const QUrl url = text.startsWith(QLatin1Char('/')) ? QUrl::fromLocalFile(text) : QUrl(text);
    return QDesktopServices::openUrl(url);
}

bool ShellStartMailReader() {
    if (g_fake) return g_fake("mail");
    // The desktop's standard way to the preferred mail program is its
    // mailto handler; with no address it opens the program itself.
    return QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:")));
}

}  // namespace mg
