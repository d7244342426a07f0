// sync_behind_posix.cpp - the helper thread that syncs the temporary file
// while the run goes on. See sync_behind.h for why.
#include "sync_behind.h"

#include <cerrno>
#include <csignal>

#include <pthread.h>
#include <unistd.h>

namespace {

// The helper's stack is a fixed buffer of its own, so its size is known
// and the C library maps no new stack for each file: a loop around
// fdatasync needs a few hundred bytes of it, the library's thread
// bookkeeping a few kilobytes (besides a small table it allocates and
// frees with each thread). Pages never touched cost nothing.
alignas(4096) unsigned char helper_stack[256 * 1024];

pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t state_changed = PTHREAD_COND_INITIALIZER;

// All under state_lock.
pthread_t helper;
bool helper_running = false;
int helper_fd = -1;
bool sync_wanted = false;  // asked for since the helper's last sync began
bool stopping = false;
int first_error = 0;

extern "C" void *sync_loop(void *)
{
	(void)pthread_mutex_lock(&state_lock);
	for (;;) {
		while (!stopping && !sync_wanted)
			(void)pthread_cond_wait(&state_changed, &state_lock);
		if (stopping)
			break;
		// One sync covers every request made before it begins.
		sync_wanted = false;
		int fd = helper_fd;
		(void)pthread_mutex_unlock(&state_lock);
		int error = fdatasync(fd) == 0 ? 0 : errno;
		(void)pthread_mutex_lock(&state_lock);
		if (error != 0 && first_error == 0)
			first_error = error;
	}
	(void)pthread_mutex_unlock(&state_lock);
	return nullptr;
}

// Starts the helper for fd; false if the system would not. Called with
// state_lock held.
bool start_helper(int fd)
{
	std::size_t least = PTHREAD_STACK_MIN;
	long configured = sysconf(_SC_THREAD_STACK_MIN);
	if (configured > 0)
		least = static_cast<std::size_t>(configured);
	if (least > sizeof helper_stack)
		return false;
	pthread_attr_t attributes;
	if (pthread_attr_init(&attributes) != 0)
		return false;
	bool ready = pthread_attr_setstack(&attributes, helper_stack, sizeof helper_stack) == 0;
	// The thread inherits this mask: every signal stays with the main
	// thread, whose handlers clean up an interrupted run.
	sigset_t all, previous;
	(void)sigfillset(&all);
	bool masked = ready && pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
	if (masked) {
		helper_fd = fd;
		sync_wanted = false;
		stopping = false;
		first_error = 0;
		helper_running = pthread_create(&helper, &attributes, sync_loop, nullptr) == 0;
		(void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
	}
	(void)pthread_attr_destroy(&attributes);
	return helper_running;
}

} // namespace

void sync_behind_request(int fd)
{
	(void)pthread_mutex_lock(&state_lock);
	if (helper_running || start_helper(fd)) {
		sync_wanted = true;
		(void)pthread_cond_signal(&state_changed);
	}
	(void)pthread_mutex_unlock(&state_lock);
}

int sync_behind_stop()
{
	(void)pthread_mutex_lock(&state_lock);
	bool running = helper_running;
	stopping = true;
	(void)pthread_cond_signal(&state_changed);
	(void)pthread_mutex_unlock(&state_lock);
	if (!running)
		return 0;
	(void)pthread_join(helper, nullptr);
	(void)pthread_mutex_lock(&state_lock);
	helper_running = false;
	helper_fd = -1;
	int error = first_error;
	(void)pthread_mutex_unlock(&state_lock);
	return error;
}
