// showargs.exe [ARGUMENT...]
// Prints each argument as the runtime split it from the command line, one
// per line between "<" and ">", so a test sees every byte that arrived.
#include <stdio.h>

extern "C" {
int _dowildcard = 0;
}

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++)
        printf("<%s>\n", argv[i]);
    return argc - 1;
}
