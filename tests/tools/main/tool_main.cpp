// The platform's entry point for every test tool: wmain on Windows, so that paths arrive as the
// OS holds them, main on POSIX.
#include "tool_main.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return tool_main(argc, argv); }
#else
int main(int argc, char** argv) { return tool_main(argc, argv); }
#endif
