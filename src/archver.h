// The command front end: what the first argument asks for, and the exit code
// that answers it.
#ifndef ARCHVER_ARCHVER_H
#define ARCHVER_ARCHVER_H

typedef int RunMode;

// The two modes that measure nothing both answer 0.
enum {
    RUN_HINT = 0,           // the argument is not understood: print the hint
    RUN_BITS_TWO_DIGIT = 1, // answer 32 or 64 (the default)
    RUN_BITS_ONE_DIGIT = 2, // answer 1 or 2
    RUN_VERSION_CODE = 3,   // answer the version code
    RUN_VERSION_REPORT = 4, // print the version report, answer the version code
    RUN_HELP = 5            // "/?": print the help screen
};

void PrintHelp();
RunMode ClassifyArgument(const char *argument);
int RunArchver(int argc, char **argv);

#endif
