// TPop3FormSummary: the dialog that shows a message's header block, under
// one line with the provider's verdict on its sender.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TPop3FormSummary : public QDialog {
    Q_OBJECT
public:
    explicit TPop3FormSummary(QWidget* parent = nullptr);

    QLabel* labVerdict;
    QPlainTextEdit* memoSummary;
    QPushButton* btnTrust;  // trusts the block's authserv-id for the mailbox
    QPushButton* btnExit;

    // Replaces the memo's lines (Windows-1251 texts, shown undecoded).
    void SetLines(const std::vector<std::string>& lines);
    std::vector<std::string> Lines() const;
    // The verdict's line (Windows-1251), and the authserv-id "btnTrust"
    // offers (empty: not offered). Trusted() tells whether it was clicked.
    void SetVerdict(const std::string& line, const std::string& offered);
    std::string Verdict() const;
    bool Trusted() const { return trusted_; }

    void btnExitClick();

protected:
    // Closing hides the dialog; it is created once and reused.
    void closeEvent(QCloseEvent* event) override;

private:
    bool trusted_ = false;
};

// The one instance, created hidden at program start.
extern TPop3FormSummary* Pop3FormSummary;
