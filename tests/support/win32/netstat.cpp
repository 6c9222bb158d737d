// A stand-in for "netstat -r", which scripts/test-windows.sh puts in place of the system's own:
// prints the file named by QORASST_NETSTAT_TABLE, then, with QORASST_NETSTAT_HANG=N, waits N
// seconds before ending. Built with QOR_NETSTAT_PLANTED, it is the netstat.exe planted beside
// the test programs, which the library never runs: its default route would show.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 2 || std::strcmp(argv[1], "-r") != 0) return 2;
#ifdef QOR_NETSTAT_PLANTED
    std::fputs("  0.0.0.0  0.0.0.0  10.66.66.66  10.66.66.66  1\n", stdout);
    return 0;
#endif
    if (const char *table = std::getenv("QORASST_NETSTAT_TABLE")) {
        if (FILE *file = std::fopen(table, "rb")) {
            char chunk[4096];
            size_t n = 0;
            while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
                std::fwrite(chunk, 1, n, stdout);
            std::fclose(file);
        }
    }
    std::fflush(stdout);
    if (const char *hang = std::getenv("QORASST_NETSTAT_HANG"))
        Sleep(static_cast<DWORD>(std::atoi(hang)) * 1000);
    return 0;
}
