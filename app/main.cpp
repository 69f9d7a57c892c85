// The program's entry: everything else happens in RunCommandLine.
#include "app/app.h"

int main(int argc, char **argv)
{
    return RunCommandLine(argc, argv);
}
