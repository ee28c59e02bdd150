// The entry point of quillmoor-updater. Windows builds it for the GUI subsystem with a Unicode
// entry; the helper reads its command line from the process there, so the arguments go unused.
#include "updater/run.h"

#ifdef _WIN32
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return updater::run_helper({}); }
#else
int main(int argc, char** argv) { return updater::run_helper({argc, argv}); }
#endif
