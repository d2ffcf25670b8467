// Message list benchmark: the main window's list built the way a scan builds
// it, with no network in the way, so that only the list's own cost is seen.
//
//     bench_list [--repetitions R] [--batch B] [--old]
//
// In one process on Qt's offscreen platform, with a shown TPop3Form:
//   - memory: the resident size of an idle window, then of the window holding
//     10,000 message lines (target: under 50 MB above the idle window);
//   - time: 2,000 and 10,000 lines built as the scan builds them (one
//     line appended per message through the listing handler, then per
//     message its sender and subject and the marks with their check and enabled
//     state), the event loop run every B messages (default 1: during a real
//     scan the window waits for each reply) and every 64 listing lines, so
//     that the view lays out and paints as it would during a scan. The
//     baseline builds the same strings into a std::vector with the same
//     event-loop turns. With --old the same is done with a QListWidget
//     filled one item at a time, for reference.
// Wall and processor times are medians of R runs (default 5), alternating.
#include <QApplication>
#include <QListWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/Pop3Form.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

namespace {

using mg::A;

double Now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double ResidentMegabytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void Pump() { QCoreApplication::processEvents(); }

// What message i looks like: size, sender, subject and how the lists classify it.
struct Message {
    int size;
    std::string address;
    std::string subject;
    bool spam;
    bool white;
};

Message MessageAt(int i) {
    Message m;
    m.size = 300 + (i * 7919) % 60000;
    m.address = "user" + std::to_string(i % 977) + "@host" + std::to_string(i % 31) + ".example";
    m.subject = A("Тема письма номер ") + std::to_string(i) + " - weekly report and more text";
    m.spam = i % 5 == 0;
    m.white = i % 7 == 0;
    return m;
}

const std::string kSpam = " <SPAM>  ";
const std::string kWhite = " <WHITE> ";

// The scan's sequence of list calls over any list with the window's line API.
template <class List>
void BuildAsTheScan(List& list, int count, int batch) {
    for (int i = 0; i < count; ++i) {
        const Message m = MessageAt(i);
        list.Listed(i + 1, m.size);
        if ((i + 1) % 64 == 0) Pump();
    }
    Pump();
    for (int i = 0; i < count; ++i) {
        const Message m = MessageAt(i);
        list.Summarise(i, m.address, m.subject);
        if (m.white) {
            list.MarkLine(i, kWhite);
            list.SetLineChecked(i, false);
            list.SetLineEnabled(i, false);
        } else if (m.spam) {
            list.MarkLine(i, kSpam);
            list.SetLineChecked(i, true);
        }
        if ((i + 1) % batch == 0) Pump();
    }
    Pump();
}

std::string ListingLine(int size) {
    const int kb = (size + 1023) / 1024;
    return mg::Format("%6d ", kb) + A("Кб | ");
}

// The window itself: the lines of its selected mailbox, as the scan fills them.
struct WindowList {
    TPop3Form& form;
    TMessageLines& lines() const { return form.Session().Lines(); }
    void Listed(int, int size) { lines().Append(size); }
    void Summarise(int i, const std::string& address, const std::string& subject) { lines().SetSummary(i, address, subject); }
    void MarkLine(int i, const std::string& m) {
        lines().SetMark(i, m == kSpam ? TMessageLines::Mark::Spam : TMessageLines::Mark::White);
    }
    void SetLineChecked(int i, bool c) { lines().SetChecked(i, c); }
    void SetLineEnabled(int i, bool e) { lines().SetEnabled(i, e); }
    void Clear() { lines().Clear(); }
    int Count() const { return form.LineCount(); }
};

// The text of a line once its header block is known, as the lists below
// build it.
std::string Summarised(const std::string& line, const std::string& address, const std::string& subject) {
    return line + mg::Format("%-30s | ", address.c_str()) + subject;
}

// The floor: the same strings in a vector.
struct VectorList {
    struct Line {
        std::string text;
        bool checked = false;
        bool enabled = true;
    };
    std::vector<Line> lines;
    void Listed(int, int size) { lines.push_back({ListingLine(size)}); }
    std::string LineText(int i) const { return lines[static_cast<size_t>(i)].text; }
    void SetLineText(int i, const std::string& t) { lines[static_cast<size_t>(i)].text = t; }
    void Summarise(int i, const std::string& a, const std::string& s) { SetLineText(i, Summarised(LineText(i), a, s)); }
    void MarkLine(int i, const std::string& m) {
        const std::string t = LineText(i);
        SetLineText(i, m + (t.size() > 9 ? t.substr(9) : std::string()));
    }
    void SetLineChecked(int i, bool c) { lines[static_cast<size_t>(i)].checked = c; }
    void SetLineEnabled(int i, bool e) { lines[static_cast<size_t>(i)].enabled = e; }
    void Clear() { lines.clear(); }
    int Count() const { return static_cast<int>(lines.size()); }
};

// For reference: a check-list widget filled one item at a time.
struct ItemWidgetList {
    QListWidget* list;
    void Listed(int, int size) {
        auto* item = new QListWidgetItem(mg::FromAnsi(ListingLine(size)));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
        list->addItem(item);
    }
    std::string LineText(int i) const { return mg::ToAnsi(list->item(i)->text()); }
    void SetLineText(int i, const std::string& t) { list->item(i)->setText(mg::FromAnsi(t)); }
    void Summarise(int i, const std::string& a, const std::string& s) { SetLineText(i, Summarised(LineText(i), a, s)); }
    void MarkLine(int i, const std::string& m) {
        const std::string t = LineText(i);
        SetLineText(i, m + (t.size() > 9 ? t.substr(9) : std::string()));
    }
    void SetLineChecked(int i, bool c) { list->item(i)->setCheckState(c ? Qt::Checked : Qt::Unchecked); }
    void SetLineEnabled(int i, bool e) {
        QListWidgetItem* item = list->item(i);
        item->setFlags(e ? item->flags() | Qt::ItemIsEnabled : item->flags() & ~Qt::ItemIsEnabled);
    }
    void Clear() { list->clear(); }
    int Count() const { return list->count(); }
};

struct Times {
    std::vector<double> wall, cpu;
    static double Median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v[v.size() / 2];
    }
};

template <class List>
void TimeOnce(List& list, int count, int batch, Times& into) {
    list.Clear();
    Pump();
    const double wall0 = Now(CLOCK_MONOTONIC), cpu0 = Now(CLOCK_PROCESS_CPUTIME_ID);
    BuildAsTheScan(list, count, batch);
    into.wall.push_back(Now(CLOCK_MONOTONIC) - wall0);
    into.cpu.push_back(Now(CLOCK_PROCESS_CPUTIME_ID) - cpu0);
    if (list.Count() != count) {
        std::fprintf(stderr, "bench_list: %d lines instead of %d\n", list.Count(), count);
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    int repetitions = 5, batch = 1;
    bool old = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--repetitions") && i + 1 < argc) repetitions = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--batch") && i + 1 < argc) batch = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--old")) old = true;
        else {
            std::fprintf(stderr, "usage: bench_list [--repetitions R] [--batch B] [--old]\n");
            return 1;
        }
    }
    QApplication app(argc, argv);

    char dirTemplate[] = "/tmp/bench_list.XXXXXX";
    if (!mkdtemp(dirTemplate)) return 1;
    const std::string dir = std::string(dirTemplate) + "/";
    for (const char* name : {"spam.dat", "white.dat"})
        if (FILE* f = std::fopen((dir + name).c_str(), "wb")) {
            std::fputs(name[0] == 's' ? "1@host3.example\r\n\tx\r\n" : "@host6.example\r\n", f);
            std::fclose(f);
        }

    TPop3Form form(dir, dir + "MAILGROVE.INI");
    if (!form.FormCreate()) return 1;
    form.show();
    for (int i = 0; i < 10; ++i) Pump();
    WindowList window{form};

    // Memory first, before the timed runs have grown the heap.
    const double idle = ResidentMegabytes();
    BuildAsTheScan(window, 10000, batch);
    for (int i = 0; i < 10; ++i) Pump();
    const double full = ResidentMegabytes();
    std::printf("memory: idle window %.1f MB, with 10000 lines %.1f MB: +%.1f MB (target < 50 MB)\n", idle, full,
                full - idle);

    // The reference list sits where the window's list is, same size and font.
    QListWidget* reference = nullptr;
    if (old) {
        reference = new QListWidget;
        reference->setFont(form.lbList->font());
        reference->setUniformItemSizes(true);
        reference->resize(form.lbList->size());
        reference->show();
    }
    ItemWidgetList widgetList{reference};
    VectorList vectorList;

    std::printf("%-7s %-12s %10s %10s %9s %9s\n", "lines", "list", "wall ms", "cpu ms", "wall x", "cpu x");
    for (int count : {2000, 10000}) {
        Times base, win, ref;
        TimeOnce(vectorList, count, batch, base);  // warm-up
        TimeOnce(window, count, batch, win);
        if (old) TimeOnce(widgetList, count, batch, ref);
        base = win = ref = Times{};
        for (int r = 0; r < repetitions; ++r) {
            TimeOnce(vectorList, count, batch, base);
            TimeOnce(window, count, batch, win);
            if (old) TimeOnce(widgetList, count, batch, ref);
        }
        const double bw = Times::Median(base.wall), bc = Times::Median(base.cpu);
        auto row = [&](const char* name, const Times& t) {
            const double w = Times::Median(t.wall), c = Times::Median(t.cpu);
            std::printf("%-7d %-12s %10.1f %10.1f %9.2f %9.2f\n", count, name, w * 1e3, c * 1e3, w / bw, c / bc);
        };
        row("vector", base);
        row("window", win);
        if (old) row("QListWidget", ref);
    }
    window.Clear();
    delete reference;
    for (const char* name : {"spam.dat", "white.dat", "spam.bak", "white.bak", "MAILGROVE.INI"})
        std::remove((dir + name).c_str());
    rmdir(dirTemplate);
    return 0;
}
