#include "lists/ListDialogue.h"

#include <QString>

#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/report.h"

namespace mg {

namespace {
[[noreturn]] void RaiseInOut(int code) { throw EInOutError(InOutErrorText(code)); }
}  // namespace

bool LoadLists(ListFiles& files, SpamTree& spam, WhiteList& white, const std::function<void(const std::string&)>& status) {
    const std::string dir = ToAnsi(QString::fromLocal8Bit(files.Dir().c_str()));
    if (files.ReadOnly())
        ShowMessage(A("Каталог списков ") + dir +
                        A(" занят другой копией программы, которая не отвечает, или его нельзя заблокировать. "
                          "Программа работает только для чтения: файлы spam.dat, white.dat и MAILGROVE.INI не "
                          "будут перезаписаны, измененные списки будут сохранены в файлы .new."),
                    Icon::Warning, Buttons::Ok);
    try {
        // A black list that stops at a bad line is reported, and the white
        // list is loaded all the same.
        const ListsLoaded loaded = files.Load(spam, white);
        if (!loaded.spam.error.empty()) ShowError(loaded.spam.error);
        // A first start: neither list exists yet, so nothing can have been
        // lost and there is nothing to warn about.
        const bool whiteRead = loaded.white.state == ListState::Loaded || loaded.white.state == ListState::Damaged;
        if (!whiteRead && !loaded.firstStart) ShowMessage(A("Ошибка загрузки файла white.dat"), Icon::None, Buttons::Ok);
        if (loaded.firstStart)
            status(A("Первый запуск: черный и белый списки будут храниться в ") + dir);
        else if (white.Count() == 0 &&
                 ShowMessage(A("Файл white.dat пуст! Выйти из программы?"), Icon::Information, Buttons::YesNo) ==
                     Answer::Yes)
            return false;
    } catch (const std::exception& e) {
        // The window opens with what was loaded; the files that were not
        // loaded stay as they are.
        ShowException(e);
    }
    if (files.ReadOnly()) status(A("Только чтение: файлы списков в ") + dir + A(" не будут перезаписаны"));
    return true;
}

void SaveLists(const ListFiles& files, const SpamTree& spam, const WhiteList& white) {
    const ListsSaved saved = files.Save(spam, white);
    // The black list's file that cannot be written is passed over in silence;
    // the white list's is reported and ends the close.
    if (saved.white.error && !saved.white.aside) {
        ShowMessage(A("Ошибка сохранения файла white.dat"), Icon::None, Buttons::Ok);
        RaiseInOut(saved.white.error);
    }
    for (const ListSave* list : {&saved.spam, &saved.white}) {
        if (!list->aside) continue;
        if (list->error) {
            ShowMessage(A("Ошибка сохранения файла ") + list->file, Icon::None, Buttons::Ok);
            RaiseInOut(list->error);
        }
        const std::string name = list->file.substr(0, list->file.find('.'));
        const std::string why = list->readOnly ? A(".dat не перезаписан: программа работает только для чтения. ")
                                               : A(".dat не был загружен при запуске и оставлен без изменений. ");
        ShowMessage(A("Файл ") + name + why + A("Список сохранен в файл ") + list->file, Icon::Information, Buttons::Ok);
    }
}

}  // namespace mg
