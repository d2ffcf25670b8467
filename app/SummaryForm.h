// TPop3FormSummary: the dialog that shows a message's header block.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QPlainTextEdit;
class QPushButton;

class TPop3FormSummary : public QDialog {
    Q_OBJECT
public:
    explicit TPop3FormSummary(QWidget* parent = nullptr);

    QPlainTextEdit* memoSummary;
    QPushButton* btnExit;

    // Replaces the memo's lines (Windows-1251 texts, shown undecoded).
    void SetLines(const std::vector<std::string>& lines);
    std::vector<std::string> Lines() const;

    void btnExitClick();

protected:
    // Closing hides the dialog; it is created once and reused.
    void closeEvent(QCloseEvent* event) override;
};

// The one instance, created hidden at program start.
extern TPop3FormSummary* Pop3FormSummary;
