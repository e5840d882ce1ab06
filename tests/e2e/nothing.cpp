// The yardstick for start-up cost: a program that does nothing, built with
// the same toolchain as archver.exe.
int main()
{
    return 0;
}
