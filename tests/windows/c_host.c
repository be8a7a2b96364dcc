/* A host of another toolchain than the library's, in C: it includes the public header, links
 * KELResMgr.lib (the import library of Microsoft's format) with lld-link, and calls two of the
 * C exports of the KELResMgr.dll beside it. It has no C runtime, as there is no Microsoft one on
 * the build machine: its entry point and kernel32 are all it needs. It prints
 *
 *   description <the reply of GetResourceDescription("sign", "ann")>
 *   state <GetResIDState("0A1B2C3D0000ABCD")>
 *
 * and ends with status 0, or 1 when the description is empty. */
#include <windows.h>

#include "KELResMgr.h"

static void Write(const char* text, DWORD size) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, size, &written, NULL);
}

static void WriteLine(const char* label, const char* text, DWORD size) {
    DWORD label_size = 0;
    while (label[label_size] != '\0') {
        ++label_size;
    }
    Write(label, label_size);
    Write(" ", 1);
    Write(text, size);
    Write("\n", 1);
}

static DWORD NumberText(int number, char* text) {
    char digits[16];
    DWORD count = 0;
    unsigned value = number < 0 ? 0u - (unsigned)number : (unsigned)number;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    DWORD size = 0;
    if (number < 0) {
        text[size++] = '-';
    }
    while (count > 0) {
        text[size++] = digits[--count];
    }
    return size;
}

int HostMain(void) {
    char description[64];
    const int got = GetResourceDescription("sign", "ann", description, sizeof description);
    WriteLine("description", description, got > 0 ? (DWORD)got : 0);

    char state[16];
    WriteLine("state", state, NumberText(GetResIDState("0A1B2C3D0000ABCD"), state));
    ExitProcess(got > 0 ? 0 : 1);
    return 0;
}
