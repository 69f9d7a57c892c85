// A second floor: a do-nothing program that makes Wine's loader do what it
// does for Velmora.exe, with none of the tool's own work. It imports
// advapi32.dll like the tool (one call, never made at run time) and carries
// the tool's resources: manifest, version block and icon. Against noop it
// shows what loading the registry and security DLLs costs any program;
// against it, Velmora shows what its own calls cost.
#include <windows.h>

int main(int argc, char **)
{
    if (argc > 1000)
        return (int)RegCloseKey(NULL);
    return 0;
}
