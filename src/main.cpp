// main.cpp - the process entry; the run itself is morvet_main.
#include "morvet.h"

#ifdef _WIN32
int wmain(int argc, wchar_t **argv)
#else
int main(int argc, char **argv)
#endif
{
	return morvet_main(argc, argv);
}
