// Prints a part of the man page of tallyfold in scdoc's markup; the build joins it
// with the written parts, so the page and the help come from one table.
#include "man_source.h"

#include <cstdio>

int main(int argc, char** argv) {
    const QString text = argc == 2 ? tallyfold::manSource(QString::fromLocal8Bit(argv[1])) : QString();
    if (text.isEmpty()) {
        std::fputs("usage: tallyfold-man-source synopsis|options|commands|examples|output|bash\n", stderr);
        return 2;
    }
    std::fputs(text.toUtf8().constData(), stdout);
    return 0;
}
