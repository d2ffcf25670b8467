// The black list: an ordered tree of text nodes under an invisible root.
// Server nodes (depth 1) hold the whole-server flag ("1" or "0") followed by
// the server key; user nodes (depth 2) hold a user part. Nodes are numbered
// from 1 in file order (depth first); 0 stands for the root and "not found".
// Texts are compared exactly, byte for byte.
#pragma once

#include <string>
#include <vector>

namespace mg {

class SpamTree {
public:
    // Longest line the file format carries: indentation, text and CR LF.
    static constexpr size_t kLineBuffer = 4096;

    int Count() const { return static_cast<int>(nodes_.size()); }
    void Clear() { nodes_.clear(); }

    const std::string& Text(int node) const;
    void SetText(int node, const std::string& text);
    // 1 for server nodes, 2 for user nodes (deeper only in hand-made files).
    int Depth(int node) const;
    int Parent(int node) const;

    // First node in file order, servers and users alike, whose text equals
    // `text`; 0 when there is none.
    int FindNode(const std::string& text) const;
    // "1" + key, else "0" + key, else 0.
    int FindServerNode(const std::string& serverKey) const;
    bool WholeServerListed(const std::string& serverKey) const;
    bool UserListed(const std::string& user, const std::string& serverKey) const;

    // Children of a node in order: FirstChild, then NextSibling until 0.
    int FirstChild(int node) const;
    int NextSibling(int node) const;

    // Appends a server node after the last server node; returns its number.
    int AddServer(const std::string& text);
    // Appends a user node after the last child of `server`; returns its number.
    int AddUser(int server, const std::string& text);
    // Deletes a node with all its children.
    void Delete(int node);

    // ---- edits by name. A server node's text is its flag and its key,
    // "1@host" (the whole server) or "0@host" (the users listed).

    // Whether `user` is listed under the server's node, whatever its flag.
    bool HasUser(const std::string& serverKey, const std::string& user) const;
    // Lists `user` under the server's node; a server not listed yet gets a
    // node at the end, flag "1" when `wholeServer`. True when it was new.
    bool AddSender(const std::string& serverKey, const std::string& user, bool wholeServer);
    // The users under the server node whose text is `serverText`, in file
    // order; raises "Invalid outline index" when there is no such node.
    std::vector<std::string> Users(const std::string& serverText) const;
    // Removes the first node `user` under the server node `serverText`, and
    // that server node with its last user. False when nothing was removed.
    struct Removed {
        bool user = false, server = false;
    };
    Removed RemoveUser(const std::string& serverText, const std::string& user);
    // Sets the flag of the server `serverKey` ("1" for the whole server);
    // raises "Invalid outline index" when its node with the other flag is
    // not there.
    void SetWholeServer(const std::string& serverKey, bool whole);

    // Whether a node text can be written to the file and read back as it is
    // at the given depth: no CR or byte 26, no leading blank or TAB, and the
    // line within the line buffer.
    static bool Storable(const std::string& text, int depth);

    // Replaces the tree by the file's content. Stops at the first bad line
    // with Exception "File load error" or "Line too long", keeping the nodes
    // read before it. EInOutError when the file cannot be read.
    void LoadFromFile(const std::string& path);
    void LoadFromBytes(const std::string& bytes);
    // The file's bytes: one line per node, (depth - 1) TABs, text, CR LF.
    // A node that could not be read back as it is (see Storable) is left out
    // with its children.
    std::string SaveToBytes() const;
    // Replaces the file (through a temporary file); EInOutError on failure.
    void SaveToFile(const std::string& path) const;

private:
    struct Node {
        std::string text;
        int depth;
    };
    size_t Index(int node) const;
    // Index just past the subtree of the node at index i.
    size_t SubtreeEnd(size_t i) const;
    std::vector<Node> nodes_;  // file order
};

// One entry of the server list view: the node text without its flag, and
// whether the flag is "1".
struct ServerEntry {
    std::string Text;
    bool Checked = false;
};

// Entries for every node whose text has "@" as its second character, in the
// list's case-insensitive ascending order.
std::vector<ServerEntry> BuildServerList(const SpamTree& tree);
// Adds an entry at its sorted place (after equal ones); returns its index.
size_t InsertServerEntry(std::vector<ServerEntry>& list, ServerEntry entry);

}  // namespace mg
