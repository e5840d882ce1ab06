// launch.exe COMMAND_FILE CODE_FILE
// Starts the command line held byte for byte in COMMAND_FILE, hands it this
// program's standard handles, waits for it, and writes its full 32-bit exit
// code in decimal to CODE_FILE. Under Wine a Linux exit status keeps only the
// low 8 bits, and building the command line here keeps Wine's own argument
// quoting out of the way.
#include <stdio.h>
#include <windows.h>

static char commandLine[40000];

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: launch.exe COMMAND_FILE CODE_FILE\n");
        return 2;
    }
    FILE *in = fopen(argv[1], "rb");
    if (in == NULL) {
        fprintf(stderr, "launch.exe: cannot read %s\n", argv[1]);
        return 2;
    }
    size_t length = fread(commandLine, 1, sizeof commandLine - 1, in);
    fclose(in);
    commandLine[length] = '\0';

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) {
        fprintf(stderr, "launch.exe: cannot start: error %lu\n", GetLastError());
        return 2;
    }
    // A wait or exit-code query that fails must never pass for exit code 0.
    DWORD code = 0;
    if (WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.hProcess, &code)) {
        fprintf(stderr, "launch.exe: cannot read the exit code: error %lu\n", GetLastError());
        return 2;
    }

    FILE *out = fopen(argv[2], "wb");
    if (out == NULL || fprintf(out, "%lu", code) < 0 || fclose(out) != 0) {
        fprintf(stderr, "launch.exe: cannot write %s\n", argv[2]);
        return 2;
    }
    return 0;
}
