// The floor for every command: a console program that does nothing, built
// with the same toolchain and flags as Velmora.exe. What it costs is what
// Wine charges any console program to start and end.
int main()
{
    return 0;
}
