// Program entry: the application title, the main window (which loads the
// settings and lists), the hidden details dialog, and the message loop.
#include <QApplication>

#include "app/Icon.h"
#include "app/Pop3Form.h"
#include "app/SummaryForm.h"
#include "platform/dialogs.h"
#include "platform/paths.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mailgrove"));
    QApplication::setApplicationDisplayName(QStringLiteral("Mailgrove"));
    QApplication::setWindowIcon(mg::MailgroveIcon());

    TPop3Form form(mg::ExecutableDirectory(), mg::DefaultSettingsPath());
    Pop3Form = &form;
    mg::SetDialogParent(&form);
    if (!form.FormCreate()) return 0;

    TPop3FormSummary summary(&form);
    Pop3FormSummary = &summary;

    form.show();
    const int rc = QApplication::exec();
    Pop3FormSummary = nullptr;
    return rc;
}
