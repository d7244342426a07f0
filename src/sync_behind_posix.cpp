// sync_behind_posix.cpp - the helper thread that syncs the temporary file
// while the run goes on. See sync_behind.h for why.
#include "sync_behind.h"

#include <cerrno>

#include <unistd.h>

#include "platform.h"

namespace {

// A loop around fdatasync needs a few hundred bytes of stack; the C
// library's thread bookkeeping a few kilobytes. Pages never touched cost
// nothing.
alignas(4096) unsigned char helper_stack[256 * 1024];

worker helper;
// Under the helper's lock.
int helper_fd = -1;
bool sync_wanted = false; // asked for since the helper's last sync began
bool stopping = false;
int first_error = 0;

void sync_loop(void *)
{
	worker_lock(&helper);
	for (;;) {
		while (!stopping && !sync_wanted)
			worker_wait(&helper);
		if (stopping)
			break;
		// One sync covers every request made before it begins.
		sync_wanted = false;
		int fd = helper_fd;
		worker_unlock(&helper);
#ifdef __APPLE__
		int error = fsync(fd) == 0 ? 0 : errno;
#else
		int error = fdatasync(fd) == 0 ? 0 : errno;
#endif
		worker_lock(&helper);
		if (error != 0 && first_error == 0)
			first_error = error;
	}
	worker_unlock(&helper);
}

} // namespace

void sync_behind_request(int fd)
{
	if (!helper.running) {
		worker_init(&helper, helper_stack, sizeof helper_stack);
		helper_fd = fd;
		sync_wanted = false;
		stopping = false;
		first_error = 0;
		if (!worker_start(&helper, sync_loop, nullptr))
			return;
	}
	worker_lock(&helper);
	sync_wanted = true;
	worker_wake(&helper);
	worker_unlock(&helper);
}

int sync_behind_stop()
{
	if (!helper.running)
		return 0;
	worker_lock(&helper);
	stopping = true;
	worker_wake(&helper);
	worker_unlock(&helper);
	worker_join(&helper);
	return first_error;
}
