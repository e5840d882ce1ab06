#include "archver.h"

// The argument is taken as typed: "*" or "?" must reach ClassifyArgument,
// not be expanded into the names of files in the current directory.
extern "C" {
int _dowildcard = 0;
}

int main(int argc, char **argv)
{
    return RunArchver(argc, argv);
}
