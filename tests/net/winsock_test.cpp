// The socket layer's notifications, seen from a window of the test's own.
#include <gtest/gtest.h>

#include <cerrno>

#include "net_support.h"
#include "test_server.h"

using namespace nettest;

namespace {

struct Note {
    uint16_t event;
    uint16_t error;
};
std::vector<Note>* g_notes = nullptr;

intptr_t Record(mg::HWND, uint32_t msg, uintptr_t, intptr_t lParam) {
    if (msg == 1125 && g_notes) g_notes->push_back({mg::WSAGETSELECTEVENT(lParam), mg::WSAGETSELECTERROR(lParam)});
    return 0;
}

// A socket of the layer whose notifications land in `notes`.
struct Watched {
    explicit Watched(std::vector<Note>& notes) {
        g_notes = &notes;
        mg::WNDCLASSA cls;
        if (!mg::GetClassInfoA("WinsockTestClass", &cls)) {
            cls = mg::WNDCLASSA{};
            cls.lpfnWndProc = Record;
            cls.lpszClassName = "WinsockTestClass";
            mg::RegisterClassA(&cls);
        }
        mg::WSADATA data;
        mg::WSAStartup(0x0101, &data);
        window = mg::CreateWindowExA(0, "WinsockTestClass", "", 0, 0, 0, 0, 0, 0);
        s = mg::socket(mg::WSA_AF_INET, mg::WSA_SOCK_STREAM, 0);
        mg::WSAAsyncSelect(s, window, 1125, 61);
    }
    ~Watched() {
        if (s != mg::INVALID_SOCKET) mg::closesocket(s);
        mg::DestroyWindow(window);
        mg::WSACleanup();
        g_notes = nullptr;
    }
    int Connect(uint16_t port) {
        mg::SOCKADDR_IN to{};
        to.sin_family = mg::WSA_AF_INET;
        to.sin_port = mg::htons(port);
        to.sin_addr = mg::inet_addr("127.0.0.1");
        return mg::connect(s, reinterpret_cast<const mg::SOCKADDR*>(&to), sizeof to);
    }
    mg::HWND window = 0;
    mg::SOCKET s = mg::INVALID_SOCKET;
};

int Count(const std::vector<Note>& notes, uint16_t event) {
    int n = 0;
    for (const Note& note : notes) n += note.event == event;
    return n;
}

}  // namespace

TEST(WinsockLayer, ReadNoticeIsRearmedOnlyByTheNextReceive) {
    TestServer server;
    server.Serve([&](Peer& peer) {
        peer.Send("0123456789");
        server.gate.Wait();
    });
    std::vector<Note> notes;
    Watched w(notes);
    ASSERT_EQ(w.Connect(server.port()), mg::SOCKET_ERROR);
    EXPECT_EQ(mg::WSAGetLastError(), mg::WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return Count(notes, mg::FD_READ) == 1; }));
    EXPECT_EQ(notes.front().event, mg::FD_CONNECT);
    EXPECT_EQ(notes.front().error, 0);

    // Unread data: many turns of the loop, still one notice.
    for (int i = 0; i < 50; ++i) mg::ProcessMessages();
    EXPECT_EQ(Count(notes, mg::FD_READ), 1);

    char buffer[16];
    EXPECT_EQ(mg::recv(w.s, buffer, 4, 0), 4);  // data left: one more notice
    ASSERT_TRUE(PumpUntil([&] { return Count(notes, mg::FD_READ) == 2; }));
    EXPECT_EQ(mg::recv(w.s, buffer, sizeof buffer, 0), 6);
    EXPECT_EQ(mg::recv(w.s, buffer, sizeof buffer, 0), mg::SOCKET_ERROR);
    EXPECT_EQ(mg::WSAGetLastError(), mg::WSAEWOULDBLOCK);

    server.gate.Open();  // the peer closes
    ASSERT_TRUE(PumpUntil([&] { return Count(notes, mg::FD_CLOSE) == 1; }));
    EXPECT_EQ(mg::recv(w.s, buffer, sizeof buffer, mg::WSA_MSG_PEEK), 0);
    for (int i = 0; i < 20; ++i) mg::ProcessMessages();
    EXPECT_EQ(Count(notes, mg::FD_CLOSE), 1);
    EXPECT_EQ(Count(notes, mg::FD_READ), 2);
}

TEST(WinsockLayer, RefusalArrivesAsConnectNoticeAndClosingWithdrawsNotices) {
    std::vector<Note> notes;
    {
        Watched w(notes);
        ASSERT_EQ(w.Connect(ClosedPort()), mg::SOCKET_ERROR);
        EXPECT_EQ(mg::WSAGetLastError(), mg::WSAEWOULDBLOCK);
        ASSERT_TRUE(PumpUntil([&] { return !notes.empty(); }));
        EXPECT_EQ(notes[0].event, mg::FD_CONNECT);
        EXPECT_EQ(notes[0].error, mg::WSAECONNREFUSED);
    }
    notes.clear();
    TestServer server;
    server.Serve([&](Peer&) { server.gate.Wait(); });
    Watched w(notes);
    w.Connect(server.port());
    ASSERT_TRUE(PumpUntil([&] { return !notes.empty(); }));
    mg::PostGuardedMessage(w.window, 1125, w.s, mg::FD_READ, std::shared_ptr<const void>());  // expired guard
    mg::closesocket(w.s);
    w.s = mg::INVALID_SOCKET;
    for (int i = 0; i < 20; ++i) mg::ProcessMessages();
    EXPECT_EQ(notes.size(), 1u);

    char byte;
    EXPECT_EQ(mg::recv(12345, &byte, 1, 0), mg::SOCKET_ERROR);
    EXPECT_EQ(mg::WSAGetLastError(), mg::WSAENOTSOCK) << "only the layer's own sockets are touched";
    EXPECT_EQ(mg::WinsockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(mg::WinsockErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(mg::WinsockErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(mg::WinsockErrorFromErrno(ETIMEDOUT), 10060);
}
