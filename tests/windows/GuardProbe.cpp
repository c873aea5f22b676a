// A copy of "the loader" as far as the single-instance guard goes:
//   guard_probe NAME TITLE               acquire; exit 0 if this copy may run, 3 if not
//   guard_probe NAME TITLE --hold EVENT  acquire, say so, and keep running until
//                                        the named event is set (or a minute passes)
#include "app/WindowsInstanceGuard.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 3 && !(argc == 5 && std::strcmp(argv[3], "--hold") == 0)) {
        std::fprintf(stderr, "usage: guard_probe NAME TITLE [--hold EVENT]\n");
        return 2;
    }
    WindowsInstanceGuard guard(argv[1], argv[2]);
    const bool runs = guard.acquire();
    std::printf("%s\n", runs ? "acquired" : "refused");
    std::fflush(stdout);
    if (runs && argc == 5) {
        HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, argv[4]);
        WaitForSingleObject(stop, 60000);
        CloseHandle(stop);
    }
    return runs ? 0 : 3;
}
