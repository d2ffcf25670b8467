#include "lists/SpamTree.h"

#include <algorithm>
#include <cerrno>

#include "lists/TextOrder.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace mg {

size_t SpamTree::Index(int node) const {
    if (node < 1 || node > Count()) throw Exception("Invalid outline index");
    return static_cast<size_t>(node - 1);
}

size_t SpamTree::SubtreeEnd(size_t i) const {
    size_t j = i + 1;
    while (j < nodes_.size() && nodes_[j].depth > nodes_[i].depth) ++j;
    return j;
}

const std::string& SpamTree::Text(int node) const { return nodes_[Index(node)].text; }
void SpamTree::SetText(int node, const std::string& text) { nodes_[Index(node)].text = text; }
int SpamTree::Depth(int node) const { return nodes_[Index(node)].depth; }

int SpamTree::Parent(int node) const {
    const size_t i = Index(node);
    for (size_t j = i; j-- > 0;)
        if (nodes_[j].depth < nodes_[i].depth) return static_cast<int>(j + 1);
    return 0;
}

int SpamTree::FindNode(const std::string& text) const {
    for (size_t i = 0; i < nodes_.size(); ++i)
        if (nodes_[i].text == text) return static_cast<int>(i + 1);
    return 0;
}

int SpamTree::FindServerNode(const std::string& serverKey) const {
    if (const int n = FindNode("1" + serverKey)) return n;
    return FindNode("0" + serverKey);
}

bool SpamTree::WholeServerListed(const std::string& serverKey) const { return FindNode("1" + serverKey) != 0; }

bool SpamTree::UserListed(const std::string& user, const std::string& serverKey) const {
    const int server = FindNode("0" + serverKey);
    if (!server) return false;
    for (int u = FirstChild(server); u; u = NextSibling(u))
        if (Text(u) == user) return true;
    return false;
}

int SpamTree::FirstChild(int node) const {
    const size_t i = Index(node);
    if (i + 1 < nodes_.size() && nodes_[i + 1].depth == nodes_[i].depth + 1) return node + 1;
    return 0;
}

int SpamTree::NextSibling(int node) const {
    const size_t i = Index(node);
    const size_t j = SubtreeEnd(i);
    if (j < nodes_.size() && nodes_[j].depth == nodes_[i].depth) return static_cast<int>(j + 1);
    return 0;
}

int SpamTree::AddServer(const std::string& text) {
    nodes_.push_back({text, 1});
    return Count();
}

int SpamTree::AddUser(int server, const std::string& text) {
    const size_t i = Index(server);
    const size_t end = SubtreeEnd(i);
    nodes_.insert(nodes_.begin() + static_cast<long>(end), Node{text, nodes_[i].depth + 1});
    return static_cast<int>(end + 1);
}

void SpamTree::Delete(int node) {
    const size_t i = Index(node);
    nodes_.erase(nodes_.begin() + static_cast<long>(i), nodes_.begin() + static_cast<long>(SubtreeEnd(i)));
}

bool SpamTree::HasUser(const std::string& serverKey, const std::string& user) const {
    const int server = FindServerNode(serverKey);
    for (int u = server ? FirstChild(server) : 0; u; u = NextSibling(u))
        if (Text(u) == user) return true;
    return false;
}

bool SpamTree::AddSender(const std::string& serverKey, const std::string& user, bool wholeServer) {
    int server = FindServerNode(serverKey);
    const bool made = server == 0;
    if (made) server = AddServer((wholeServer ? "1" : "0") + serverKey);
    AddUser(server, user);
    return made;
}

std::vector<std::string> SpamTree::Users(const std::string& serverText) const {
    const int node = FindNode(serverText);
    if (node == 0) throw Exception("Invalid outline index");
    std::vector<std::string> users;
    for (int u = FirstChild(node); u; u = NextSibling(u)) users.push_back(Text(u));
    return users;
}

SpamTree::Removed SpamTree::RemoveUser(const std::string& serverText, const std::string& user) {
    Removed removed;
    const int node = FindNode(serverText);
    if (node == 0) return removed;
    for (int u = FirstChild(node); u; u = NextSibling(u)) {
        if (Text(u) != user) continue;
        Delete(u);
        removed.user = true;
        if (FirstChild(node) == 0) {
            Delete(node);
            removed.server = true;
        }
        break;
    }
    return removed;
}

void SpamTree::SetWholeServer(const std::string& serverKey, bool whole) {
    const int node = FindNode((whole ? "0" : "1") + serverKey);
    if (node == 0) throw Exception("Invalid outline index");
    SetText(node, (whole ? "1" : "0") + serverKey);
}

bool SpamTree::Storable(const std::string& text, int depth) {
    if (!text.empty() && (text.front() == ' ' || text.front() == '\t')) return false;
    if (text.find('\r') != std::string::npos || text.find('\x1a') != std::string::npos) return false;
    return static_cast<size_t>(depth - 1) + text.size() + 2 <= kLineBuffer;
}

void SpamTree::LoadFromFile(const std::string& path) {
    std::string data;
    if (!ReadWholeFile(path, data)) throw EInOutError(InOutErrorText(errno));
    LoadFromBytes(data);
}

void SpamTree::LoadFromBytes(const std::string& data) {
    nodes_.clear();
    int current = -1;  // index of the current node; -1 is the root
    int prevLevel = 0;
    // The reader works through a buffer of kLineBuffer bytes: when a read
    // fills it, only the lines up to its last CR LF are taken and the rest
    // moves to the front; a read that does not fill it ends the data with
    // the byte 26.
    std::string buffer;
    size_t offset = 0;  // next unread byte of `data`
    for (;;) {
        const size_t room = kLineBuffer - buffer.size();
        const size_t take = std::min(room, data.size() - offset);
        buffer.append(data, offset, take);
        offset += take;
        size_t limit;  // bytes of the buffer to parse now
        if (take == room) {
            size_t crlf = std::string::npos;
            for (size_t i = buffer.size() - 1; i-- > 0;)
                if (buffer[i] == '\r' && buffer[i + 1] == '\n') {
                    crlf = i;
                    break;
                }
            if (crlf == std::string::npos) throw Exception("Line too long");
            limit = crlf + 2;
        } else {
            buffer.push_back('\x1a');
            limit = buffer.size();
        }
        size_t p = 0;
        while (p < limit && buffer[p] != '\x1a') {
            int level = 0;
            while (buffer[p] == '\t' || buffer[p] == ' ') {
                ++level;
                ++p;
            }
            const size_t start = p;
            while (buffer[p] != '\r' && buffer[p] != '\x1a') ++p;
            std::string text = buffer.substr(start, p - start);
            // A last line without its line end is read from a buffer that
            // was not filled, which leaves room for one byte more than a
            // line with its CR LF may have: such a line could not be written
            // back.
            if (static_cast<size_t>(level) + text.size() + 2 > kLineBuffer) throw Exception("Line too long");
            if (buffer[p] == '\r') {
                ++p;
                if (buffer[p] == '\n') ++p;
            }
            int depth;
            if (level > prevLevel || current < 0) {
                if (level - prevLevel > 1) throw Exception("File load error");
                depth = current < 0 ? 1 : nodes_[static_cast<size_t>(current)].depth + 1;
            } else {
                const int reached = nodes_[static_cast<size_t>(current)].depth - (prevLevel - level + 1);
                if (reached < 0) throw Exception("File load error");
                depth = reached + 1;
            }
            nodes_.push_back({std::move(text), depth});
            current = static_cast<int>(nodes_.size()) - 1;
            prevLevel = level;
        }
        if (p < buffer.size() && buffer[p] == '\x1a') return;
        buffer.erase(0, limit);
    }
}

std::string SpamTree::SaveToBytes() const {
    std::string out;
    for (size_t i = 0; i < nodes_.size();) {
        const Node& n = nodes_[i];
        if (!Storable(n.text, n.depth)) {
            i = SubtreeEnd(i);
            continue;
        }
        out.append(static_cast<size_t>(n.depth - 1), '\t');
        out += n.text;
        out += "\r\n";
        ++i;
    }
    return out;
}

void SpamTree::SaveToFile(const std::string& path) const {
    if (!WriteFileAtomic(path, SaveToBytes())) throw EInOutError(InOutErrorText(errno));
}

std::vector<ServerEntry> BuildServerList(const SpamTree& tree) {
    std::vector<ServerEntry> list;
    for (int n = 1; n <= tree.Count(); ++n) {
        const std::string& text = tree.Text(n);
        if (text.size() >= 2 && text[1] == '@') list.push_back({text.substr(1), text[0] == '1'});
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const ServerEntry& a, const ServerEntry& b) { return CompareNoCase(a.Text, b.Text) < 0; });
    return list;
}

size_t InsertServerEntry(std::vector<ServerEntry>& list, ServerEntry entry) {
    const auto at = std::upper_bound(list.begin(), list.end(), entry, [](const ServerEntry& a, const ServerEntry& b) {
        return CompareNoCase(a.Text, b.Text) < 0;
    });
    const size_t index = static_cast<size_t>(at - list.begin());
    list.insert(at, std::move(entry));
    return index;
}

}  // namespace mg
