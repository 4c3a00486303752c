#include "service/program.h"

// wmain: the arguments arrive as the system holds them, in UTF-16, whatever the code page.
int wmain(int argc, wchar_t* argv[])
{
    return RunProgram(argc, argv);
}
