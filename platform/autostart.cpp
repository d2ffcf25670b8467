#include "platform/autostart.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/files.h"

namespace mg {

std::string AutostartPath() {
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    const QString base = config.isEmpty() ? QDir::homePath() + QStringLiteral("/.config") : QString::fromLocal8Bit(config);
    return (base + QStringLiteral("/autostart/mailgrove.desktop")).toLocal8Bit().toStdString();
}

bool AutostartEnabled() { return FileExists(AutostartPath()); }

void SetAutostart(bool on) {
    const std::string path = AutostartPath();
    if (!on) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw EInOutError(InOutErrorText(errno));
        return;
    }
    QDir().mkpath(QFileInfo(QString::fromLocal8Bit(path.c_str())).path());
    const std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Mailgrove\n"
        "Comment=Checks POP3 mailboxes in the background\n"
        "Exec=mailgrove --hidden\n"
        "Icon=org.mailgrove.Mailgrove\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    if (!WriteFileAtomic(path, entry, 0644)) throw EInOutError(InOutErrorText(errno));
}

}  // namespace mg
