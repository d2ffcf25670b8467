#include "support/pop3_dialogue.h"

namespace mgtest::pop3 {

Script Logon(const std::string& user, const std::string& password, int count, int totalSize) {
    return {
        S("+OK POP3 server ready"),
        C("USER " + user), S("+OK"),
        C("PASS " + password), S("+OK Logged in."),
        C("STAT"), S("+OK " + std::to_string(count) + " " + std::to_string(totalSize)),
    };
}

Script Listing(const std::vector<int>& sizes) {
    int total = 0;
    for (int size : sizes) total += size;
    std::string text = "+OK " + std::to_string(sizes.size()) + " messages (" + std::to_string(total) +
                       " octets)\r\n";
    for (size_t i = 0; i < sizes.size(); ++i)
        text += std::to_string(i + 1) + " " + std::to_string(sizes[i]) + "\r\n";
    text += ".\r\n";
    return {C("LIST "), Raw(text)};
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

Script Scan(const std::string& user, const std::string& password, const std::vector<Message>& messages) {
    std::vector<int> sizes;
    int total = 0;
    for (const auto& message : messages) {
        sizes.push_back(message.size);
        total += message.size;
    }
    Script script = Logon(user, password, static_cast<int>(messages.size()), total) + Listing(sizes);
    for (size_t i = 0; i < messages.size(); ++i) script = script + Summary(static_cast<int>(i + 1), messages[i]);
    return script;
}

Script Dele(int number) {
    return {C("DELE " + std::to_string(number)), S("+OK message " + std::to_string(number) + " deleted")};
}

Script Quit() { return {C("QUIT"), S("+OK Logging out."), AwaitClose()}; }

}  // namespace mgtest::pop3
