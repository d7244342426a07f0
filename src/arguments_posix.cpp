// arguments_posix.cpp - command-line arguments on POSIX systems, where the
// shell has already expanded wildcards and every argument is one file.
#include "platform.h"

bool is_help_option(const path_char *)
{
	return false;
}

bool expand_argument(const path_char *argument, file_visitor visit, void *context)
{
	visit(argument, context);
	return true;
}
