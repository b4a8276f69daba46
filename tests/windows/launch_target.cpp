// The program the launcher tests start. It writes how it was started to the file named by its
// first argument: its command line as the system passed it, then each argument on a line of
// its own. A second argument "slow" makes it wait 1.5 s first.

#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    if (argc < 2) return 2;
    if (argc > 2 && std::strcmp(argv[2], "slow") == 0) Sleep(1500);
    // Written under another name and renamed, so a reader never sees half a record.
    char partial[MAX_PATH + 16];
    std::snprintf(partial, sizeof partial, "%s.part", argv[1]);
    std::FILE* file = std::fopen(partial, "wb");
    if (file == nullptr) return 1;
    std::fprintf(file, "%s\n", GetCommandLineA());
    for (int i = 1; i < argc; ++i) std::fprintf(file, "%s\n", argv[i]);
    std::fclose(file);
    return MoveFileExA(partial, argv[1], MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
