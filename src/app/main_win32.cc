// The Windows entry point: the system hands over the wide argument vector as it is.
#include "app/run_driver.h"

int wmain(int argc, wchar_t** argv) { return run_driver(argc, argv); }
