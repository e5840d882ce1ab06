// The command front end: what the first argument asks for, and the exit code
// that answers it.
#ifndef ARCHVER_ARCHVER_H
#define ARCHVER_ARCHVER_H

typedef int RunMode;

enum {
    RUN_NONE = 0,           // help screen or hint shown; nothing is measured
    RUN_BITS_TWO_DIGIT = 1, // answer 32 or 64 (the default)
    RUN_BITS_ONE_DIGIT = 2, // answer 1 or 2
    RUN_VERSION_CODE = 3,   // answer the version code
    RUN_VERSION_REPORT = 4  // print the version report, answer the version code
};

void PrintHelp();
RunMode ClassifyArgument(const char *argument);
int RunArchver(int argc, char **argv);

#endif
