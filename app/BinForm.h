// TBinForm: the dialog over the bin of deleted messages ("deleted/" in the
// data directory). It lists the bin's files, opens or saves one, removes
// them for good, and edits the bin's limits in the settings file. It reads
// and removes files only; the mailbox session is not involved.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "mailbox/DeletionBin.h"

class QPushButton;
class QSpinBox;
class QTreeWidget;

class TBinForm : public QDialog {
    Q_OBJECT
public:
    // binDir: the bin's directory; settingsPath: the settings file that
    // holds the bin's limits.
    TBinForm(const std::string& binDir, std::string settingsPath, QWidget* parent = nullptr);

    // Columns: "Удалено", "Ящик", "Отправитель", "Тема", "Размер"; one row
    // per file, newest first.
    QTreeWidget* lvBin;
    QPushButton *btnOpen, *btnSaveAs, *btnRemove, *btnClear, *btnClose;
    QSpinBox* spinDays;     // "Хранить дней:"
    QSpinBox* spinMaxSize;  // "Сохранять целиком до, МБ:"

    // Reads the bin again and refills the table.
    void Refresh();
    // The files listed, in the table's order.
    const std::vector<mg::BinEntry>& Entries() const { return entries_; }

    void btnOpenClick();
    void btnSaveAsClick();
    void btnRemoveClick();
    void btnClearClick();

private:
    // The entries of the selected rows, in the table's order.
    std::vector<const mg::BinEntry*> Selected() const;
    void UpdateButtons();
    // Writes the spin boxes' values to the settings file.
    void LimitsChanged();

    mg::DeletionBin bin_;
    std::string settingsPath_;
    mg::BinSettings settings_;
    std::vector<mg::BinEntry> entries_;
};
