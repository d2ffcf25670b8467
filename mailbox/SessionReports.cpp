#include "mailbox/SessionReports.h"

#include "lists/Sender.h"
#include "platform/codepage.h"

namespace mg {

void ReportStatus(MailboxSession& s, std::function<void(const std::string&)> show, std::function<void(bool)> busy) {
    const auto say = [show](const char* utf8) { return [show, text = A(utf8)] { show(text); }; };
    s.OnStatus = show;
    s.OnHostResolved = say("Сервер найден");
    s.OnConnect = say("Соединение установлено");
    s.OnDisconnect = say("Соединение разорвано");
    s.OnSuccess = say("Операция завершена успешно");
    s.OnRetrieveStart = [show, busy] {
        busy(true);
        show(A("Начало приема"));
    };
    s.OnRetrieveEnd = [show, busy] {
        busy(false);
        show(A("Прием закончен"));
    };
    s.OnPacketRecvd = [show, &s] {
        show(A("Принято ") + std::to_string(s.Component().BytesRecvd) + A(" байт из ") +
             std::to_string(s.Component().BytesTotal));
    };
    s.OnScanned = [show](int count, int fresh, const std::string& notice) {
        if (count == 0) {  // the last reply stays shown, unless there is news
            if (!notice.empty()) show(notice);
            return;
        }
        std::string text = A("Прием закончен");
        if (!notice.empty())
            text += ". " + notice;
        else if (fresh > 0)
            text += A(". Новых сообщений: ") + std::to_string(fresh);
        show(text);
    };
}

std::string LinesReport(const TMessageLines& lines, const std::string& head, const std::vector<int>& rows) {
    constexpr size_t kShown = 10;
    std::string text = head + std::to_string(rows.size());
    for (size_t k = 0; k < rows.size() && k < kShown; ++k) {
        const std::string& line = lines.Text(rows[k]);
        text += "\n" + (line.size() > 9 ? line.substr(9) : line);
    }
    if (rows.size() > kShown) text += A("\n... и еще ") + std::to_string(rows.size() - kShown);
    return text;
}

std::string KeptOnServerReport(const TMessageLines& lines, const std::vector<int>& rows, const std::string& reason) {
    std::string text =
        LinesReport(lines, A("Не удалось сохранить в корзину, поэтому не удалены и остались на сервере: "), rows);
    if (!reason.empty()) text += A("\nПричина: ") + reason;
    return text;
}

std::string NotConfirmedReport(const TMessageLines& lines, const std::vector<int>& rows) {
    return LinesReport(lines,
                       A("Не удалены: на сервере этих сообщений уже нет или под их номерами теперь другие сообщения. "
                         "Нажмите \"Соединение\", чтобы увидеть ящик как он есть: "),
                       rows);
}

std::string LossReport(const MailboxSession::Loss& loss, const std::string& reason) {
    std::string text = A("Сервер не выполнил удаление сообщений: ") + std::to_string(loss.count) +
                       A(". Сеанс закончился без подтверждения удалений, эти сообщения остались на сервере "
                         "(в списке: <НЕ УДАЛЕНО>).");
    std::string why = reason;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    if (!why.empty()) text += A("\nПричина: ") + why;
    if (loss.logFailed) text += A("\nОшибка записи в файл log.dat!");
    return text;
}

std::string VerdictLine(const DmarcVerdict& judged, const std::string& from) {
    if (judged.authservId.empty()) return A("Вердикта провайдера нет: нет поля Authentication-Results");
    const std::string id = judged.authservId.substr(0, 100);
    if (!judged.trusted) return A("Вердикт не читается: authserv-id ") + id + A(" не назначен этому ящику");
    std::string domain = judged.domain;
    if (domain.empty()) {
        const std::string server = DeriveSender(from).Server;
        domain = server.empty() || server[0] != '@' ? server : server.substr(1);
    }
    const std::string result = judged.result == DmarcVerdict::Fail ? A("fail (подделка)")
                               : judged.text.empty()               ? A("нет результата")
                                                                   : judged.text;
    return "DMARC: " + result.substr(0, 40) + A(", домен ") + domain.substr(0, 100) + ", authserv-id " + id;
}

}  // namespace mg
