// Writes the program's icon as a PNG: icon_png <size> <file>.
#include <cstdio>
#include <cstdlib>

#include "app/Icon.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: icon_png <size> <file.png>\n");
        return 2;
    }
    const int size = std::atoi(argv[1]);
    if (size < 16 || size > 1024) {
        std::fprintf(stderr, "icon_png: size out of range: %s\n", argv[1]);
        return 2;
    }
    if (!mg::MailgroveIconImage(size).save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "icon_png: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
