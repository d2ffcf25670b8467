// What the user is told about the list files at start and at close, asked
// through mg::Dialogs (the window's boxes): a damaged list, a missing or
// empty white list, lists kept aside, a read-only copy.
#pragma once

#include <functional>
#include <string>

#include "lists/ListFiles.h"

namespace mg {

// Loads both lists (each on its own) and tells what needs telling; `status`
// gets the status bar's text. False when the user chose to end the program
// at once ("Файл white.dat пуст! Выйти из программы?").
bool LoadLists(ListFiles& files, SpamTree& spam, WhiteList& white, const std::function<void(const std::string&)>& status);
// Saves both lists and tells where a list went beside its file; raises the
// I/O error when the white list (or a list kept aside) could not be written,
// which ends the close.
void SaveLists(const ListFiles& files, const SpamTree& spam, const WhiteList& white);

}  // namespace mg
