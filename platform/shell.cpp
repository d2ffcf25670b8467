#include "platform/shell.h"

#include <QDesktopServices>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace mg {
namespace {
std::function<bool(const std::string&)> g_fake;
}  // namespace

void SetShellForTest(std::function<bool(const std::string& request)> fake) { g_fake = std::move(fake); }

namespace {

// A web address through $BROWSER, read as xdg-open reads it: commands
// separated by ":", tried in turn until one starts; "%s" in a command stands
// for the address (else it is appended) and "%%" for "%". The address is
// one argument, never seen by a shell. False when none started.
bool OpenWithBrowserVariable(const QString& address) {
    const QString variable = qEnvironmentVariable("BROWSER");
    for (const QString& command : variable.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        QStringList arguments = QProcess::splitCommand(command);
        bool placed = false;
        for (QString& argument : arguments) {
            QString out;
            for (qsizetype i = 0; i < argument.size(); ++i) {
                const QChar next = i + 1 < argument.size() ? argument[i + 1] : QChar();
                if (argument[i] == QLatin1Char('%') && next == QLatin1Char('s')) {
                    out += address, placed = true, ++i;
                } else if (argument[i] == QLatin1Char('%') && next == QLatin1Char('%')) {
                    out += QLatin1Char('%'), ++i;
                } else {
                    out += argument[i];
                }
            }
            argument = out;
        }
        if (arguments.isEmpty()) continue;
        if (!placed) arguments << address;
        const QString program = arguments.takeFirst();
        if (QProcess::startDetached(program, arguments)) return true;
    }
    return false;
}

}  // namespace

bool ShellOpen(const std::string& target) {
    if (g_fake) return g_fake("open " + target);
    const QString text = QString::fromLocal8Bit(target.c_str());
    const QUrl url = text.startsWith(QLatin1Char('/')) ? QUrl::fromLocalFile(text) : QUrl(text);
    // The user's own choice of browser first, whatever the desktop would pick.
    const bool web = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    if (web && OpenWithBrowserVariable(QString::fromLatin1(url.toEncoded()))) return true;
    return QDesktopServices::openUrl(url);
}

namespace {

// The command line of a desktop entry's Exec key without its field codes
// (%u, %F, ...; "%%" is a "%"), split as desktop entries quote it.
QStringList ExecArguments(const QString& exec) {
    QStringList out;
    QString word;
    bool quoted = false, inWord = false;
    for (int i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted) {
            if (c == QLatin1Char('\\') && i + 1 < exec.size()) word += exec[++i];
            else if (c == QLatin1Char('"')) quoted = false;
            else word += c;
        } else if (c == QLatin1Char('"')) {
            quoted = inWord = true;
        } else if (c.isSpace()) {
            if (inWord) out << word;
            word.clear();
            inWord = false;
        } else if (c == QLatin1Char('%') && i + 1 < exec.size()) {
            if (exec[++i] == QLatin1Char('%')) word += c, inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) out << word;
    return out;
}

// The command line of the desktop entry the desktop has as the default for
// `mimeType` (a MIME type or "x-scheme-handler/<scheme>"), without field
// codes; empty when there is none.
QStringList DefaultHandler(const QString& mimeType) {
    QProcess query;
    query.start(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"), mimeType});
    if (!query.waitForFinished(3000) || query.exitCode() != 0) return {};
    const QString entry = QString::fromUtf8(query.readAllStandardOutput()).trimmed();
    if (entry.isEmpty() || entry.contains(QLatin1Char('/'))) return {};
    const QString path =
        QStandardPaths::locate(QStandardPaths::ApplicationsLocation, entry, QStandardPaths::LocateFile);
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) return {};
    bool main = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) main = line == QStringLiteral("[Desktop Entry]");
        else if (main && line.startsWith(QStringLiteral("Exec="))) return ExecArguments(line.mid(5));
    }
    return {};
}

// Starts a handler's command line with `extra` appended; false when there
// is no command or it cannot be started.
bool StartHandler(QStringList command, const QStringList& extra = {}) {
    if (command.isEmpty()) return false;
    const QString program = command.takeFirst();
    return QProcess::startDetached(program, command + extra);
}

}  // namespace

bool ShellStartMailReader() {
    if (g_fake) return g_fake("mail");
    // The mail program the desktop has for mailto: links, started by itself;
    // else the link with no address, which opens that program too (some
    // with a compose window).
    if (StartHandler(DefaultHandler(QStringLiteral("x-scheme-handler/mailto")))) return true;
    return QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:")));
}

bool ShellOpenMessage(const std::string& path) {
    if (g_fake) return g_fake("message " + path);
    // The desktop's program for message/rfc822 is given the file; without
    // one, the file goes to whatever the desktop opens it with.
    if (StartHandler(DefaultHandler(QStringLiteral("message/rfc822")), {QString::fromLocal8Bit(path.c_str())}))
        return true;
    return ShellOpen(path);
}

}  // namespace mg
