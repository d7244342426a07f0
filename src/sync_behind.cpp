// sync_behind.cpp - the helper thread that syncs the result while the run
// goes on. See sync_behind.h for why.
#include "sync_behind.h"

namespace {

// Each time this much more was written, a sync is asked for.
const std::size_t request_bytes = 8u << 20;

// A loop around a sync needs a few hundred bytes of stack, the C library's
// thread bookkeeping a few kilobytes. Pages never touched cost nothing.
alignas(4096) unsigned char helper_stack[256 * 1024];

worker helper;
temporary_file *synced = nullptr;
// Under the helper's lock.
bool sync_wanted = false; // asked for since the helper's last sync began
bool stopping = false;
bool failed = false;
system_error first_error;

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
		worker_unlock(&helper);
		system_error error;
		bool synced_now = sync_temporary_data(synced, &error);
		worker_lock(&helper);
		if (!synced_now && !failed) {
			failed = true;
			first_error = error;
		}
	}
	worker_unlock(&helper);
}

} // namespace

void sync_behind_written(temporary_file *temporary, std::size_t length)
{
	temporary->written_since_sync_request += length;
	if (temporary->written_since_sync_request < request_bytes)
		return;
	temporary->written_since_sync_request = 0;
	if (!helper.running) {
		worker_init(&helper, helper_stack, sizeof helper_stack);
		synced = temporary;
		sync_wanted = false;
		stopping = false;
		failed = false;
		if (!worker_start(&helper, sync_loop, nullptr))
			return;
	}
	worker_lock(&helper);
	sync_wanted = true;
	worker_wake(&helper);
	worker_unlock(&helper);
}

bool sync_behind_stop(system_error *error)
{
	if (!helper.running)
		return true;
	worker_lock(&helper);
	stopping = true;
	worker_wake(&helper);
	worker_unlock(&helper);
	worker_join(&helper);
	synced = nullptr;
	*error = first_error;
	return !failed;
}
