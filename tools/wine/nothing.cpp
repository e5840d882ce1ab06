// The yardstick for start-up cost: a program that does nothing, built with
// the same toolchain as archver.exe. In archver's place it stands for a
// program that gives no answer: it ends with the code in
// ARCHVER_STANDIN_EXIT_O for "/o" (likewise B, V, W), else in
// ARCHVER_STANDIN_EXIT, else 0. In the place of a system program it stands
// for one that answers wrongly: it prints ARCHVER_STANDIN_PRINT, where set.
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    const char *text = std::getenv("ARCHVER_STANDIN_PRINT");
    if (text != nullptr)
        std::fputs(text, stdout);
    char name[] = "ARCHVER_STANDIN_EXIT_?";
    if (argc > 1 && argv[1][0] == '/' && argv[1][1] != '\0')
        name[sizeof name - 2] = static_cast<char>(argv[1][1] & ~0x20);
    const char *code = std::getenv(name);
    if (code == nullptr)
        code = std::getenv("ARCHVER_STANDIN_EXIT");
    return code ? std::atoi(code) : 0;
}
