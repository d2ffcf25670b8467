#include "support/pop3_dialogue.h"

namespace mgtest::pop3 {

Script Logon(const std::string& user, const std::string& password, int count, int totalSize, Capa capa) {
    Script script{
        S("+OK POP3 server ready"),
        C("CAPA"), S("-ERR"),  // no STLS: the log-on goes on in plain text
        C("USER " + user), S("+OK"),
        C("PASS " + password), S("+OK Logged in."),
    };
    script = script + Capabilities(capa);
    script.push_back(C("STAT"));
    script.push_back(S("+OK " + std::to_string(count) + " " + std::to_string(totalSize)));
    return script;
}

Script Capabilities(Capa capa) {
    switch (capa) {
        case Capa::Unknown: return {C("CAPA"), S("-ERR Unknown command.")};
        case Capa::Plain: return {C("CAPA"), S({"+OK", "TOP", "UIDL", "USER", "."})};
        case Capa::Pipelining: return {C("CAPA"), S({"+OK", "TOP", "UIDL", "PIPELINING", "USER", "."})};
        case Capa::NoUidl: return {C("CAPA"), S({"+OK", "TOP", "USER", "."})};
    }
    return {};
}

Script Listing(const std::vector<int>& sizes) {
    int total = 0;
    for (int size : sizes) total += size;
    std::string text = "+OK " + std::to_string(sizes.size()) + " messages (" + std::to_string(total) +
                       " octets)\r\n";
    for (size_t i = 0; i < sizes.size(); ++i)
        text += std::to_string(i + 1) + " " + std::to_string(sizes[i]) + "\r\n";
    text += ".\r\n";
    return {C("LIST"), Raw(text)};
}

Script Top(int number, const std::vector<std::string>& header) {
    std::string text = "+OK\r\n";
    for (const auto& line : header) text += line + "\r\n";
    text += "\r\n.\r\n";
    return {C("TOP " + std::to_string(number) + " 0"), Raw(text)};
}

Script ListOne(int number, int size) {
    return {C("LIST " + std::to_string(number)), S("+OK " + std::to_string(number) + " " + std::to_string(size))};
}

Script Summary(int number, const Message& message) {
    return Top(number, message.header) + ListOne(number, message.size);
}

Script Uidl(const std::vector<std::string>& ids) {
    if (ids.empty()) return {C("UIDL"), S("-ERR Unknown command.")};
    std::string text = "+OK\r\n";
    for (size_t i = 0; i < ids.size(); ++i) text += std::to_string(i + 1) + " " + ids[i] + "\r\n";
    return {C("UIDL"), Raw(text + ".\r\n")};
}

Script Scan(const std::string& user, const std::string& password, const std::vector<Message>& messages, Capa capa,
            const std::vector<std::string>& ids) {
    std::vector<int> sizes, numbers;
    int total = 0;
    for (const auto& message : messages) {
        sizes.push_back(message.size);
        total += message.size;
        numbers.push_back(static_cast<int>(numbers.size() + 1));
    }
    Script script = Logon(user, password, static_cast<int>(messages.size()), total, capa) + Listing(sizes);
    if (messages.empty()) return script;
    script = script + Uidl(ids);
    if (capa == Capa::Pipelining) return script + PipelinedTops(messages, numbers);
    for (int n : numbers) script = script + Top(n, messages[static_cast<size_t>(n - 1)].header);
    return script;
}

Script PipelinedSummaries(const std::vector<Message>& messages, int first, int last) {
    Script script;
    for (int n = first; n <= last; ++n) {
        script.push_back(C("TOP " + std::to_string(n) + " 0"));
        script.push_back(C("LIST " + std::to_string(n)));
    }
    for (int n = first; n <= last; ++n) {
        const Script summary = Summary(n, messages[static_cast<size_t>(n - 1)]);
        for (const Step& step : summary)
            if (step.kind != Step::Kind::Expect) script.push_back(step);
    }
    return script;
}

Script PipelinedTops(const std::vector<Message>& messages, const std::vector<int>& numbers) {
    Script script;
    for (int n : numbers) script.push_back(C("TOP " + std::to_string(n) + " 0"));
    for (int n : numbers) script.push_back(Top(n, messages[static_cast<size_t>(n - 1)].header).back());
    return script;
}

Script Retr(int number, const std::vector<std::string>& lines) {
    std::string text = "+OK message follows\r\n";
    for (const std::string& line : lines) text += (line.rfind('.', 0) == 0 ? "." : "") + line + "\r\n";
    return {C("RETR " + std::to_string(number)), Raw(text + ".\r\n")};
}

Script Dele(int number) {
    return {C("DELE " + std::to_string(number)), S("+OK message " + std::to_string(number) + " deleted")};
}

Script Quit() { return {C("QUIT"), S("+OK Logging out."), AwaitClose()}; }

}  // namespace mgtest::pop3
