#include "mailbox/ListEdits.h"

#include "lists/Sender.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"

namespace mg {

using Mark = TMessageLines::Mark;

Task<> AddCheckedToBlackList(MailboxSession& session, SpamTree& spam,
                             std::function<void(const ServerEntry& added)> serverAdded) {
    bool confirm = true;
    enum class Remembered { None, YesToAll, NoToAll } serverAnswer = Remembered::None;
    TMessageLines& lines = session.Lines();
    for (int i = 0; i < lines.Count(); ++i) {
        if (!lines.Enabled(i) || !lines.Checked(i) || lines.MarkOf(i) == Mark::Spam) continue;
        const TSummary summary = co_await session.Fetch(i + 1);
        const SenderKeys keys = DeriveSender(summary.From);
        if (spam.HasUser(keys.Server, keys.User)) {
            ShowMessage(A("Адрес уже занесен в СПАМ!"), Icon::Information, Buttons::Ok);
            continue;
        }
        if (confirm) {
            const Answer a =
                ShowMessage(A("Занести в СПАМ адрес ") + keys.Address, Icon::Confirmation, Buttons::YesNoCancelYesToAll);
            if (a == Answer::Cancel) co_return;
            if (a == Answer::No) continue;
            if (a == Answer::YesToAll) confirm = false;
        }
        if (!SpamTree::Storable(keys.User, 2) || !SpamTree::Storable("1" + keys.Server, 1)) {
            // The list file could not carry this key; it would be lost at the next start.
            ShowMessage(A("Адрес не может быть занесен в список: ") + keys.Address.substr(0, 200), Icon::Warning,
                        Buttons::Ok);
            continue;
        }
        bool whole = serverAnswer == Remembered::YesToAll;
        if (!spam.FindServerNode(keys.Server) && serverAnswer == Remembered::None) {
            switch (ShowMessage(A("Применить ко всем адресам с этого сервера?"), Icon::Confirmation,
                                Buttons::YesNoCancelNoToAllYesToAll)) {
                case Answer::Yes: whole = true; break;
                case Answer::No: break;
                case Answer::NoToAll: serverAnswer = Remembered::NoToAll; break;
                case Answer::YesToAll: whole = true; serverAnswer = Remembered::YesToAll; break;
                default: co_return;
            }
        }
        if (spam.AddSender(keys.Server, keys.User, whole) && serverAdded) serverAdded({keys.Server, whole});
        lines.SetMark(i, Mark::Spam);
        lines.SetChecked(i, true);
    }
}

Task<bool> AddToWhiteList(MailboxSession& session, const SpamTree& spam, WhiteList& white, int index) {
    const TSummary summary = co_await session.Fetch(index + 1);
    const SenderKeys keys = DeriveSender(summary.From);
    if (white.Contains(keys.Server) || white.Contains(keys.Address)) {
        ShowMessage(A("Адрес уже занесен в список!"), Icon::Information, Buttons::Yes);
        co_return false;
    }
    if (spam.FindServerNode(keys.Server)) {
        white.Insert(keys.Address);
    } else {
        switch (ShowMessage(A("Применить ко всем адресам с этого сервера?"), Icon::Confirmation, Buttons::YesNoCancel)) {
            case Answer::Yes: white.Insert(keys.Server); break;
            case Answer::No: white.Insert(keys.Address); break;
            default: co_return false;
        }
    }
    TMessageLines& lines = session.Lines();
    lines.SetMark(index, Mark::White);
    lines.SetChecked(index, false);
    lines.SetEnabled(index, false);
    co_return true;
}

}  // namespace mg
