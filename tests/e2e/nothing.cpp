// The yardstick for start-up cost: a program that does nothing, built with
// the same toolchain as archver.exe. In archver's place it stands for a
// program that gives no answer: it ends with the code in
// ARCHVER_STANDIN_EXIT, or 0.
#include <cstdlib>

int main()
{
    const char *code = std::getenv("ARCHVER_STANDIN_EXIT");
    return code ? std::atoi(code) : 0;
}
