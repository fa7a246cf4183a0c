// Reads its standard input, fed through a pipe a few bytes at a time, with
// ScanIn and ReadLine in turn: every byte must arrive exactly once. The
// exit status names the first step that went wrong (0: none).
#include <cstring>

#include "kez/formatio.h"

int main() {
    for (int i = 1; i <= 300; ++i) {
        int v = -1;
        if (ScanIn("%s>%d", &v) != 1 || v != i) return 10;
    }
    char word[32] = "x";
    if (ScanIn("%l>%s", word) != 0) return 11;  // the rest of the line of 300: empty
    if (ScanIn("%l>%s", word) != 1 || std::strcmp(word, "alpha") != 0) return 12;
    if (ScanIn("%s>%s", word) != 1 || std::strcmp(word, "gamma") != 0) return 13;
    char line[32];
    if (ReadLine(0, line, 31) != 0) return 14;
    if (ReadLine(0, line, 31) != 9 || std::strcmp(line, "tail line") != 0) return 15;
    if (ReadLine(0, line, 31) != -2) return 16;
    return 0;
}
